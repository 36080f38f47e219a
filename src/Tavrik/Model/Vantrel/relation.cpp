// Relation descriptors as the loader and prefetch read them (relation.hpp).
#include "relation.hpp"

namespace tavrik {
namespace vantrel {

void read_relation(Relation& r, PyObject* fk) {
    r.fk = Ref::owning(fk);
    r.direct = getattr(fk, N.directTarget);
    r.direct_table = getattr(r.direct.get(), N.tableName);
    r.name = getattr(fk, N.name);
    Ref bind = getattr(fk, N.bindCol);
    r.bind_name = getattr(bind.get(), N.name);
    Ref type = fk_type(fk);
    r.kind = eq(type.get(), I.MTM)   ? RK_MTM
             : eq(type.get(), I.OTO) ? RK_OTO
             : eq(type.get(), I.OTM) ? RK_OTM
                                     : RK_OTHER;
}

void resolve_query(Relation& r) {
    if (r.query_ready) return;
    PyObject* fk = r.fk.get();
    if (r.kind == RK_MTM) {
        Ref owner = getattr(fk, N.owner);
        r.owner_table = getattr(owner.get(), N.tableName);
        r.far = r.direct;
        r.rev = getattr(r.direct.get(), r.owner_table.get());
        r.middle = getattr(fk, N.middleModel);
        Ref jname = new_ref(PyUnicode_FromFormat("%U_id", r.owner_table.get()));
        r.key_col = getattr(r.middle.get(), jname.get());
    } else {
        r.target = getattr(fk, N.target);
        r.far = r.target;
        r.target_table = getattr(r.target.get(), N.tableName);
        r.key_col = getattr(fk, N.targetBindCol);
        r.tbn = getattr(r.key_col.get(), N.name);
        Ref tpk = getattr(r.target.get(), N.pkName);
        r.pk_bound = eq(r.tbn.get(), tpk.get());
    }
    r.query_ready = true;
}

}  // namespace vantrel
}  // namespace tavrik

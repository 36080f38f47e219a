// What a relation descriptor (a model's fk entry) resolves to, as the loader
// (loadplan.cpp) and prefetch (prefetch.cpp) read it.  The descriptor's
// members are computed properties (they resolve models named by string), so
// each reader reads them once and keeps them: the loader for one search,
// prefetch until another model class is declared.
#pragma once
#include "plan.hpp"
#include "vantrel.hpp"

namespace tavrik {
namespace vantrel {

enum RelKind { RK_OTO, RK_OTM, RK_MTM, RK_OTHER };

struct Relation {
    Py_ssize_t stamp = -1;  // prefetch: the model count it was read at
    int kind = RK_OTHER;
    Ref fk;  // the descriptor
    Ref name, bind_name, direct, direct_table;
    // Read when the first query along the relation is made (a relation never
    // queried is never asked for these).
    bool query_ready = false;
    Ref key_col;               // the column the binding value is matched against
    Ref far;                   // the model of the rows the query reads
    Ref owner_table;           // many-to-many: the owner's table
    Ref rev;                   // many-to-many: the far model's reverse descriptor (the join)
    Ref middle;                // many-to-many: the junction model
    Ref target, target_table;  // one-to-one / one-to-many
    Ref tbn;                   // the target's binding column name
    bool pk_bound = false;     // the target's binding column is its primary key
    // prefetch: read when its first statement along the relation is built.
    bool statement_ready = false;
    Ref cols;   // tuple: far.col, the selected columns
    Ref names;  // tuple: their keys in a row
    Ref order;  // tuple: ORDER BY terms

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&fk, &name, &bind_name, &direct, &direct_table, &key_col, &far, &owner_table, &rev,
                             &middle, &target, &target_table, &tbn, &cols, &names, &order})
            if (int e = visit_ref(*r, visit, arg)) return e;
        return 0;
    }
};

// Reads the descriptor's own members.
void read_relation(Relation& r, PyObject* fk);
// Reads what a query along it needs (once).
void resolve_query(Relation& r);

}  // namespace vantrel
}  // namespace tavrik

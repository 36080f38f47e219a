// Tavrik.Model.ModelProperty: column properties, conditions, foreign keys.
#include "mp.hpp"

namespace tavrik {
namespace mp {
namespace {

// A capsule entry's work on a column property, which is checked first.
template <class F>
PyObject* on_property(PyObject* prop, F&& f) {
    return guard([&]() -> PyObject* {
        if (!is_property(prop)) raise_arg_type("prop", BasePropertyType.tp_name, prop);
        return f();
    });
}

PyObject* api_to_obj(PyObject* prop, PyObject* v) {
    return on_property(prop, [&] { return to_obj(prop, v).relinquish(); });
}
PyObject* api_to_db(PyObject* prop, PyObject* v) {
    return on_property(prop, [&] { return to_db(prop, v, true).relinquish(); });
}
PyObject* api_column_sql(PyObject* prop) {
    return on_property(prop, [&] { return borrow(column_sql_borrowed(prop)).relinquish(); });
}
PyObject* api_cell(PyObject* prop, PyObject* v) {
    return on_property(prop, [&] {
        Ref db = to_db(prop, v, true);
        return Require(PyTuple_Pack(2, prop, db.get()));
    });
}
PyObject* api_filter_in_array(PyObject* prop, PyObject* values) {
    return guard([&]() -> PyObject* {
        if (!is_property(prop)) raise_arg_type("prop", BasePropertyType.tp_name, prop);
        Ref cell = new_ref(column_in(prop, values));
        FilterObject* f = (FilterObject*)cell.get();
        if (f->op != 0) {
            PyErr_SetString(PyExc_ValueError, "an array of keys cannot hold None");
            throw_error();
        }
        f->op = 2;
        return cell.relinquish();
    });
}
PyObject* api_filter_in(PyObject* prop, PyObject* values) {
    return guard([&]() -> PyObject* {
        if (!is_property(prop)) raise_arg_type("prop", BasePropertyType.tp_name, prop);
        // A column class declared in Python may override in_.
        if (Py_TYPE(prop)->tp_flags & Py_TPFLAGS_HEAPTYPE) {
            static Immortal in_name(intern("in_"));
            return Require(PyObject_CallMethodOneArg(prop, in_name, values));
        }
        return Require(column_in(prop, values));
    });
}

PyObject* api_operand_render(PyObject* o, PyObject* params) {
    return guard([&]() -> PyObject* {
        return render_keeping_params(params, [&](std::string& out, PyObject* p) { render_operand(o, out, p); });
    });
}
PyObject* api_operand_result(PyObject* o, PyObject* raw) {
    return guard([&]() -> PyObject* { return operand_result(o, raw).relinquish(); });
}
int api_holds_aggregate(PyObject* o) { return holds_aggregate(o) ? 1 : 0; }
int api_filter_shape(PyObject* cell, TextShape* shape, PyObject* params) {
    return guard_int([&] { return filter_shape(cell, *shape, params) ? 1 : 0; });
}
int api_operand_shape(PyObject* o, TextShape* shape, PyObject* params) {
    return guard_int([&] { return operand_shape(o, *shape, params) ? 1 : 0; });
}

PyMethodDef module_methods[] = {
    // ForeignKey.any/has (Model/_foreign.py) resolve the relation and build its condition here.
    {"_relation_filter", (PyCFunction)(void (*)(void))relation_filter, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduledef = module_definition("Tavrik.Model.ModelProperty", "列属性、过滤条件与外键描述符", module_methods);

void init_module(PyObject* m) {
    names.init();
    init_convert();
    init_expression_type(m);
    init_property_types(m);
    init_filter_type(m);
    static ModelPropertyAPI api = {
        TAVRIK_MODELPROPERTY_API_VERSION,
        &BasePropertyType,
        &FilterListCellType,
        &AutoIncrementType,
        &NullDefaultType,
        api_to_obj,
        api_to_db,
        api_filter_true,
        api_filter_column,
        api_filter_value,
        api_filter_link,
        api_filter_render,
        api_column_sql,
        api_cell,
        api_cell,
        api_filter_in,
        api_filter_in_array,
        &ExpressionType,
        api_operand_render,
        api_operand_result,
        api_holds_aggregate,
        api_filter_shape,
        api_operand_shape,
    };
    export_api(m, TAVRIK_MODELPROPERTY_CAPSULE, &api);
    // The name a model's annotations give its columns: `name: Column[str] = StrProperty(64)`.
    add_object(m, "Column", (PyObject*)&BasePropertyType);
    // Relation descriptors are read a few times per relation, never per
    // column value, so they are plain Python (Model/_foreign.py).
    load_python(m, "Tavrik.Model._foreign");
}

}  // namespace
}  // namespace mp
}  // namespace tavrik

PyMODINIT_FUNC PyInit_ModelProperty(void) { TAVRIK_MODULE_INIT(tavrik::mp::moduledef, tavrik::mp::init_module); }

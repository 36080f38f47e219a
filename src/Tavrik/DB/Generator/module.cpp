// Tavrik.DB.Generator: the SQL statement builders.
#include "gen.hpp"

namespace tavrik {
namespace gen {

ModelPropertyAPI* mp_api = nullptr;
Names names;

namespace {

GeneratorAPI api;

PyModuleDef moduledef = module_definition("Tavrik.DB.Generator", "SQL语句生成器");

void init_module(PyObject* m) {
    names.init();
    init_sql_types(m);
    init_table_types(m);
    api.api_version = TAVRIK_GENERATOR_API_VERSION;
    api.statement_pair = api_statement_pair;
    api.where_part = api_where_part;
    api.bind_model = api_bind_model;
    api.update_statement = api_update_statement;
    api.new_bound = api_new_bound;
    api.BaseSqlGeneratorType = &BaseSqlGeneratorType;
    api.SqlGeneratorType = &SqlGeneratorType;
    api.TableGeneratorType = &TableGeneratorType;
    api.InOperatorGeneratorType = &InOperatorGeneratorType;
    api.CustomSqlGeneratorType = &CustomSqlGeneratorType;
    api.CustomColAnnounceType = &CustomColAnnounceType;
    api.JoinCellType = &JoinCellType;
    api.insert_values = api_insert_values;
    fill_building_api(&api);
    api.statement_pair_in = api_statement_pair_in;
    api.locks_rows = api_locks_rows;
    api.return_keys = api_return_keys;
    api.returns_keys = api_returns_keys;
    api.upsert = api_upsert;
    export_api(m, TAVRIK_GENERATOR_CAPSULE, &api);
    mp_api = import_api<ModelPropertyAPI>(TAVRIK_MODELPROPERTY_CAPSULE, 7);
    init_texts(m);
}

}  // namespace
}  // namespace gen
}  // namespace tavrik

PyMODINIT_FUNC PyInit_Generator(void) { TAVRIK_MODULE_INIT(tavrik::gen::moduledef, tavrik::gen::init_module); }

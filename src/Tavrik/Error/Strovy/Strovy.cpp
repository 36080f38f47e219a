// Tavrik.Error.Strovy: errors of database-handle misuse and of writes that
// cannot be carried out.  Plain classes with a fixed message each; they have
// no hot path, so they are defined from Python source at module init.
#include <tavrik/module.hpp>

namespace {

const char kSource[] = R"PY(
from Tavrik.Error.BaseOrmError import *


class DBInstanceError(BaseOrmError):
    msg = "DB链接对象实例已存在，不可重新创建"


class DBInstanceCreateError(BaseOrmError):
    msg = "请使用DB.create()创建数据库实例"


class WriteOperateNotInAffairs(BaseOrmError):
    msg = "写操作需要在事务中执行"


class UpdateWithOutPrimaryKeyError(BaseOrmError):
    msg = "更新数据库实例需要包含主键字段"


class DeleteWithOutPrimaryKeyError(BaseOrmError):
    msg = "删除数据库实例需要包含主键字段"
)PY";

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "Tavrik.Error.Strovy", nullptr, -1, nullptr};

void init(PyObject* m) { tavrik::run_source(m, kSource, "Tavrik/Error/Strovy"); }

}  // namespace

PyMODINIT_FUNC PyInit_Strovy(void) { TAVRIK_MODULE_INIT(moduledef, init); }

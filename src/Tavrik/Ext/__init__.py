"""Tavrik extensions: table creation for the declared models."""

__all__ = ["generate_table"]


def _declared_models():
    """Models with columns, the latest declaration of each table name, in
    order of their latest declaration (Korvid and MiddleKorvid left out)."""
    from Tavrik.Model.Korvid import Korvid, MiddleKorvid, _KorvidMeta

    latest = {}
    for model in _KorvidMeta.ModelList:
        if model is Korvid or model is MiddleKorvid:
            continue
        # A class whose creation failed half-way may lack its columns.
        if not getattr(model, "col", None):
            continue
        name = getattr(model, "tableName", None)
        if not name:
            continue
        latest.pop(name, None)
        latest[name] = model
    return list(latest.values())


def _relation_columns(models):
    """(model, column) for every column a relation looks rows up by: the
    target column of each one-to-one and one-to-many relation, and both key
    columns of each junction.  Without an index each lookup, and each
    deletion of a many-to-many save, scans the whole table."""
    from Tavrik.Model.Korvid import MiddleKorvid

    found = []
    for model in models:
        junction = issubclass(model, MiddleKorvid)
        for fk in model.fk:
            try:
                # For a many-to-many relation: the junction's column of the owner.
                found.append((fk.target, fk.targetBindCol))
            except LookupError:
                continue  # a model named by string and not declared (yet): no table to index
            if junction:
                found.append((model, fk.bindCol))
    # Columns compare by identity: == on a column builds a condition.
    return [(m, c) for m, c in found if c is not None and any(c is x for x in getattr(m, "col", None) or ())]


def generate_table(connector=None):
    """
        为每个已声明且有列的模型创建尚不存在的表 (CREATE TABLE IF NOT EXISTS)。
        同一表名声明多次时以最后一次为准; Korvid 与 MiddleKorvid 本身不建表。
        connector 默认为数据库句柄 DB.getInstance() 的连接器。
        同步连接器: 在 getCon() 的链接上执行并提交, 返回 None。
        异步连接器: 返回一个协程, 它在当前任务的链接上执行这些语句并提交该链接;
        协程完成时表已创建并已提交。
    """
    if connector is None:
        from Tavrik.DB.DB import DB

        connector = DB.getInstance().connector
    from Tavrik.DB.Generator import TableGenerator

    models = _declared_models()
    generators = {model: TableGenerator(model, connector) for model in models}
    for model, column in _relation_columns(models):
        generator = generators.get(model)
        if generator is not None:
            generator.index(column)
    statements = [g.sql() for g in generators.values()]
    for g in generators.values():
        statements.extend(g.indexSql())
    if connector.isAsync:
        return _create_tables(connector, statements)
    con = connector.getCon()
    for sql in statements:
        con.execute(sql)
    con.commit()
    return None


async def _create_tables(connector, statements):
    con = await connector.getCon()
    cursor = await con.cursor()
    try:
        for sql in statements:
            await cursor.execute(sql)
    finally:
        await cursor.close()
    await con.commit()

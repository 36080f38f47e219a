"""Runs one session of a document's Python blocks, as a reader would paste
them one after the other into an interpreter: one namespace, the working
folder a fresh one, top-level ``await`` allowed (each such block runs as one
task of a loop kept for the whole session, so its per-task transaction
commits when the block ends).

    python docs_run.py SESSION.json

SESSION.json holds ``{"blocks": [[where, code], ...]}``; the first block that
raises stops the run with its place in the document and the traceback.
"""
import ast
import asyncio
import inspect
import json
import os
import sys
import traceback


def main() -> int:
    with open(sys.argv[1], encoding="utf-8") as f:
        blocks = json.load(f)["blocks"]
    loop = asyncio.new_event_loop()
    ns = {"__name__": "__main__"}
    for where, text in blocks:
        # asyncio.run() in a block leaves no current loop behind.
        asyncio.set_event_loop(loop)
        try:
            code = compile(text, where, "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
            if code.co_flags & inspect.CO_COROUTINE:
                loop.run_until_complete(eval(code, ns))
            else:
                exec(code, ns)
        except BaseException:
            print("the block at %s failed:" % where, file=sys.stderr)
            traceback.print_exc()
            # A connector's threads would keep a failed session alive.
            sys.stderr.flush()
            os._exit(1)
    # A session leaves no connector open behind it: the program then ends as
    # any other, and a later session may use the same tables.
    from Tavrik.DB.DB import DB

    connector = DB.drop()
    closed = getattr(connector, "close", None)
    if closed is not None:
        result = closed()
        if inspect.isawaitable(result):
            loop.run_until_complete(result)
    loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Checks scripts/bench's removals: reads replies and listings.

  reply FILE VOLUME OUT  fails unless the reply's errorDict is empty, writes
                         its paths, relative to VOLUME and sorted, to OUT and
                         prints how many there were
  expect                 from a sorted listing of the volume on standard
                         input, writes what must remain after the removal:
                         every path none of whose components is selected
  relative VOLUME        strips VOLUME/ from each line of standard input and
                         sorts

The selection is the one scripts/bench asks every contender for: "._"
items, .DS_Store, Thumbs.db and the extension "tmp".
"""
import json, sys

def selected(name):
    if name.startswith(b"._") or name in (b".DS_Store", b"Thumbs.db"):
        return True
    dot = name.rfind(b".")
    return dot > 0 and name[dot + 1:] == b"tmp"

def relative(paths, volume):
    prefix = volume.encode() + b"/"
    out = []
    for path in paths:
        if not path.startswith(prefix):
            sys.exit(f"{path!r} is not beneath {volume}")
        out.append(path[len(prefix):])
    return sorted(out)

command = sys.argv[1]
if command == "reply":
    reply = json.load(open(sys.argv[2], encoding="utf-8"))
    if reply.get("errorDict"):
        sys.exit(f"the reply has errors: {list(reply['errorDict'].items())[:5]}")
    paths = [p.encode() for p in reply["pathArray"]]
    with open(sys.argv[4], "wb") as out:
        out.writelines(p + b"\n" for p in relative(paths, sys.argv[3]))
    print(len(paths))
elif command == "expect":
    for line in sys.stdin.buffer:
        path = line.rstrip(b"\n")
        if not any(selected(part) for part in path.split(b"/")):
            sys.stdout.buffer.write(line)
elif command == "relative":
    paths = [line.rstrip(b"\n") for line in sys.stdin.buffer]
    sys.stdout.buffer.writelines(p + b"\n" for p in relative(paths, sys.argv[2]))

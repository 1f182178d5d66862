"""Prints the shared domain file named as the argument, as scripts/demo
shows it: the tool's version, whether the request is still there, and the
stored reply, indented.
"""
import json, sys

domain = json.load(open(sys.argv[1]))
print("  toolVersion:", domain.get("toolVersion"))
print("  message:", "(taken out by the tool)" if "message" not in domain else domain["message"])
print("  reply, as the tool stored it:")
for line in json.dumps(json.loads(domain["reply"]), indent=4, ensure_ascii=False).splitlines():
    print("    " + line)

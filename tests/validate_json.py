#!/usr/bin/env python3
"""Checks one oscar-agent --json document against a definition of the schema.

usage: validate_json.py SCHEMA DEFINITION DOCUMENT
Exits 0 when DOCUMENT (a file) is valid against SCHEMA's $defs/DEFINITION,
else 1 with the first problem on one line of standard error.
"""
import json
import sys

import jsonschema


def main():
    schema_path, definition, document_path = sys.argv[1:4]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    with open(document_path, encoding="utf-8") as f:
        document = json.load(f)
    if definition not in schema["$defs"]:
        print(f"no definition {definition} in {schema_path}", file=sys.stderr)
        return 1
    jsonschema.Draft202012Validator.check_schema(schema)
    one = dict(schema, **{"$ref": f"#/$defs/{definition}"})
    try:
        jsonschema.Draft202012Validator(one).validate(document)
    except jsonschema.ValidationError as e:
        where = "/".join(str(p) for p in e.absolute_path)
        print(f"{definition}: {where or 'document'}: {e.message}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

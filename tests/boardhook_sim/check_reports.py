#!/usr/bin/python3
"""Validates every JSON document the boardhook-sim tests saved against the
report schema shipped in docs/schema/report.schema.json."""
import json
import pathlib
import sys

import jsonschema


def main() -> int:
    schema_path, reports = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    schema = json.loads(schema_path.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    files = sorted(reports.glob("*.json"))
    if not files:
        print(f"no reports in {reports}: run the boardhook-sim tests first")
        return 1
    failed = 0
    for path in files:
        for error in validator.iter_errors(json.loads(path.read_text())):
            failed += 1
            where = "/".join(str(part) for part in error.absolute_path)
            print(f"{path.name}: /{where}: {error.message}")
    print(f"{len(files)} reports checked, {failed} errors")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

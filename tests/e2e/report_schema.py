"""Checks run reports against docs/report.schema.json.

Test modules import it::

    from report_schema import report_errors, assert_valid_report

    report_errors(report) -> list of str
        Every way the report (a parsed object, or the path of a JSON file) breaks the schema,
        each as "<JSON pointer>: <message>"; empty when it is valid.
    assert_valid_report(test_case, report)
        Fails the test with those lines when there are any.

Run as a program, `python3 report_schema.py FILE...` prints the problems of each file and exits
with 1 when any file is invalid, 0 otherwise (the unit tests of the report writer use this).
"""

import json
import os
import sys

import jsonschema

SCHEMA_PATH = os.path.join(
    os.environ.get("LYRANE_SOURCE_DIR")
    or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")),
    "docs",
    "report.schema.json",
)

_validator = None


def validator():
    global _validator
    if _validator is None:
        with open(SCHEMA_PATH, encoding="utf-8") as schema_file:
            schema = json.load(schema_file)
        jsonschema.Draft202012Validator.check_schema(schema)
        _validator = jsonschema.Draft202012Validator(schema)
    return _validator


def _pointer(path):
    return "/" + "/".join(str(part) for part in path)


def report_errors(report):
    if not isinstance(report, (dict, list)):
        with open(report, encoding="utf-8") as report_file:
            report = json.load(report_file)
    errors = sorted(validator().iter_errors(report), key=lambda e: list(map(str, e.path)))
    # One line each, so a caller can tell the reports of several files apart.
    return [f"{_pointer(error.path)}: {' '.join(error.message.split())}" for error in errors]


def assert_valid_report(test_case, report):
    errors = report_errors(report)
    if errors:
        test_case.fail("report does not match the schema:\n" + "\n".join(errors))


def main(paths):
    status = 0
    for path in paths:
        try:
            errors = report_errors(path)
        except (OSError, ValueError) as error:
            errors = [f"cannot read: {error}"]
        for line in errors:
            print(f"{path}: {line}")
        if errors:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

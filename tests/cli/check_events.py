#!/usr/bin/env python3
"""Checks what `fenupdator-cli update --json` printed against the events' schema and against
what the terminal was told.

  check_events.py SCHEMA EVENTS STDERR STATUS

Every line is one object of the schema; a single run's plan comes first; a failed run (STATUS
not 0) has an error event with that exit status, whose text and advice are the ones standard
error shows; a completed one has no error that ended it.
"""
import json
import sys

import jsonschema

schema_path, events_path, stderr_path, status = sys.argv[1:5]
status = int(status)
schema = json.load(open(schema_path))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
stderr = open(stderr_path).read()

lines = [json.loads(text) for text in open(events_path).read().splitlines()]
assert lines, "no line at all"
for number, line in enumerate(lines, 1):
    errors = sorted(validator.iter_errors(line), key=lambda e: e.path)
    assert not errors, f"line {number} {line}: {[e.message for e in errors][:3]}"

events = [line["event"] for line in lines]
if "plan" in events and "paired" not in events:
    assert events[0] == "plan", events

ending = [line for line in lines if line["event"] == "error" and "exit" in line]
if status == 0:
    assert not ending, ending
else:
    assert any(line["exit"] == status for line in ending), (status, lines[-3:])
    for line in ending:
        assert line["text"] in stderr, (line["text"], stderr)
        if "advice" in line:
            assert line["advice"] in stderr, (line["advice"], stderr)

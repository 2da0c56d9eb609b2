#!/usr/bin/env python3
"""Checks pxtool's JSON documents against the schemas of docs/schemas/.

    validate_json.py SCHEMA_DIR SAMPLE_DIR
    validate_json.py SCHEMA_DIR --documents FILE...

Each schema file SCHEMA_DIR/<schema>.schema.json must itself be a valid
JSON Schema (draft 2020-12), and is held against every document of its
schema: in the first form the files <schema>-<n>.json in SAMPLE_DIR, which
the unit tests keep there (tests/json_samples.h), and a schema without one
sample fails, so that a schema no test exercises shows; in the second form the documents named, each checked
against the schema its "schema" field names. A document whose schema has no
file fails. Times ("format": "date-time") are checked as RFC 3339 here,
whatever format checkers the installed jsonschema has.

Exits 0 when every document is valid, 1 otherwise, naming each document
and what is wrong with it.
"""

import datetime
import json
import os
import re
import sys

try:
    import jsonschema
except ImportError:
    sys.exit('validate_json: python3-jsonschema is not installed (bash scripts/setup.sh)')

SUFFIX = '.schema.json'
_SAMPLE = re.compile(r'^(?P<schema>.+)-(?P<n>\d+)\.json$')
_RFC3339 = re.compile(r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?([Zz]|[+-]\d\d:\d\d)$')

FORMATS = jsonschema.FormatChecker()


@FORMATS.checks('date-time', raises=ValueError)
def is_rfc3339(value):
    """An RFC 3339 date-time: the shape, and a date and time that exist."""
    if not isinstance(value, str):
        return True
    if not _RFC3339.match(value):
        raise ValueError('not an RFC 3339 date-time with an offset')
    datetime.datetime.fromisoformat(value.replace('Z', '+00:00').replace('z', '+00:00'))
    return True


def load_schemas(schema_dir):
    """{schema name: validator} of every schema file; exits on one that is
    not a valid schema."""
    validators = {}
    for name in sorted(os.listdir(schema_dir)):
        if not name.endswith(SUFFIX):
            continue
        path = os.path.join(schema_dir, name)
        with open(path, encoding='utf-8') as f:
            schema = json.load(f)
        try:
            jsonschema.Draft202012Validator.check_schema(schema)
        except jsonschema.SchemaError as e:
            sys.exit('validate_json: %s is not a valid JSON Schema: %s' % (path, e.message))
        validators[name[:-len(SUFFIX)]] = jsonschema.Draft202012Validator(
            schema, format_checker=FORMATS)
    if not validators:
        sys.exit('validate_json: no %s file in %s' % (SUFFIX, schema_dir))
    return validators


def problems(validator, path):
    """What is wrong with the document at `path`, one text each."""
    try:
        with open(path, encoding='utf-8') as f:
            document = json.load(f)
    except ValueError as e:
        return ['not JSON: %s' % e]
    found = []
    for error in sorted(validator.iter_errors(document), key=lambda e: list(e.absolute_path)):
        where = '/'.join(str(p) for p in error.absolute_path) or '(the document)'
        found.append('%s: %s' % (where, error.message))
    return found


def main(args):
    if len(args) > 2 and args[1] == '--documents':
        samples = None
    elif len(args) == 2 and not args[1].startswith('--'):
        samples = args[1]
    else:
        sys.exit(__doc__)
    validators = load_schemas(args[0])
    documents = []  # (schema name, path)
    if samples is None:
        for path in args[2:]:
            try:
                with open(path, encoding='utf-8') as f:
                    schema = json.load(f).get('schema')
            except (ValueError, AttributeError):
                schema = None
            documents.append((schema if isinstance(schema, str) else None, path))
    else:
        for name in sorted(os.listdir(samples) if os.path.isdir(samples) else []):
            match = _SAMPLE.match(name)
            if match:
                documents.append((match.group('schema'), os.path.join(samples, name)))
    failed = 0
    counts = dict.fromkeys(validators, 0)
    for schema, path in documents:
        if schema not in validators:
            print('%s: no schema file %s%s in %s' % (path, schema, SUFFIX, args[0]))
            failed += 1
            continue
        counts[schema] += 1
        found = problems(validators[schema], path)
        for problem in found:
            print('%s: %s' % (path, problem))
        failed += bool(found)
    if samples is not None:
        for schema, n in sorted(counts.items()):
            if n == 0:
                print('%s: no sample in %s: no test checks what pxtool writes against it'
                      % (schema, samples))
                failed += 1
    summary = ', '.join('%s %d' % item for item in sorted(counts.items()))
    print('validate_json: %d documents (%s), %d failed' % (len(documents), summary, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))

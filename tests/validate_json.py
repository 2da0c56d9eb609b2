#!/usr/bin/env python3
"""Checks pxtool's JSON against SCHEMA_DIR/<schema>.schema.json (draft 2020-12).

    validate_json.py SCHEMA_DIR SAMPLE_DIR         the <schema>-<n>.json files
                                                   the unit tests keep
                                                   (tests/json_samples.h); a
                                                   schema without one fails
    validate_json.py SCHEMA_DIR --documents FILE...  each against the schema
                                                   its "schema" field names

"date-time" is checked as RFC 3339 here, whatever format checkers the
installed jsonschema has. Exits 1 naming each document that is not valid.
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
FORMATS = jsonschema.FormatChecker()


@FORMATS.checks('date-time', raises=ValueError)
def is_rfc3339(value):
    if isinstance(value, str):
        if not re.match(r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?(Z|[+-]\d\d:\d\d)$', value):
            raise ValueError('not an RFC 3339 date-time')
        datetime.datetime.fromisoformat(value.replace('Z', '+00:00'))  # the date exists
    return True


def load(path):
    with open(path, encoding='utf-8') as f:
        return json.load(f)


def main(args):
    if len(args) < 2 or (args[1] == '--documents') != (len(args) > 2):
        sys.exit(__doc__)
    validators = {}
    for name in sorted(n for n in os.listdir(args[0]) if n.endswith(SUFFIX)):
        schema = load(os.path.join(args[0], name))
        jsonschema.Draft202012Validator.check_schema(schema)
        validators[name[:-len(SUFFIX)]] = jsonschema.Draft202012Validator(
            schema, format_checker=FORMATS)
    if args[1] == '--documents':
        documents = [(None, path) for path in args[2:]]
    else:
        names = os.listdir(args[1]) if os.path.isdir(args[1]) else []
        documents = [(re.sub(r'-\d+\.json$', '', n), os.path.join(args[1], n))
                     for n in sorted(names) if re.search(r'-\d+\.json$', n)]
    counts = dict.fromkeys(validators, 0)
    failed = 0
    for schema, path in documents:
        try:
            document = load(path)
        except ValueError as e:
            document, problems = None, ['not JSON: %s' % e]
        if document is not None:
            schema = schema or (document.get('schema') if isinstance(document, dict) else None)
            if not isinstance(schema, str) or schema not in validators:
                problems = ['no schema file %s%s in %s' % (schema, SUFFIX, args[0])]
            else:
                counts[schema] += 1
                problems = ['%s: %s' % ('/'.join(map(str, e.absolute_path)) or '.', e.message)
                            for e in validators[schema].iter_errors(document)]
        for problem in problems:
            print('%s: %s' % (path, problem))
        failed += bool(problems)
    if args[1] != '--documents':
        for schema in (s for s, n in sorted(counts.items()) if n == 0):
            print('%s: no sample in %s: no test holds pxtool to it' % (schema, args[1]))
            failed += 1
    print('validate_json: %d documents (%s), %d failed' % (
        len(documents), ', '.join('%s %d' % c for c in sorted(counts.items())), failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))

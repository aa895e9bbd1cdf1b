#!/usr/bin/python3
"""Parses a Prometheus text exposition with the Prometheus project's own
parser (python3-prometheus-client) and prints one line per family:
"name type samples". Exits non-zero when the text does not parse or holds
no family."""
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    with open(sys.argv[1], encoding="utf-8") as source:
        text = source.read()
    families = list(text_string_to_metric_families(text))
    if not families:
        print("no metric family")
        return 1
    print("families", len(families))
    for family in families:
        print(family.name, family.type, len(family.samples))
    return 0


if __name__ == "__main__":
    sys.exit(main())

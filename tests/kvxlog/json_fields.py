#!/usr/bin/env python3
"""Parses kvxlog -json (JSON Lines) or kvxls -json (one document) from standard
input with Python's own JSON parser and prints every object as one line of
key=value pairs in the documented order, so that a test can compare values
without a JSON parser of its own. Exits with 1 when the input is not what the
documentation says (not JSON, a key missing or added, a wrong type)."""
import json
import sys

ENTRY = [("file", str), ("offset", int), ("length", int), ("whole", bool), ("location", str),
         ("record", int), ("event_time", str), ("written", str), ("bus", int), ("device", int),
         ("function", int), ("error_name", str), ("level", str), ("driver_version", str),
         ("firmware_version", str), ("adapter_wwn", str), ("event_log_dump", str), ("detail_data", str),
         ("detail_last_error", int), ("refused_slot", int)]
ADAPTER = [("port", int), ("symbolic_name", str), ("device_object_name", str), ("complete", bool),
           ("pci_vendor_id", int), ("pci_device_id", int), ("lsi_revision", int), ("ec_level", str),
           ("pci_bus", int), ("pci_device", int), ("pci_function", int), ("parts_number", str),
           ("model_name", str), ("driver_version", str), ("firmware_version", str),
           ("world_wide_port_name", str), ("world_wide_node_name", str), ("connection_type", int),
           ("connection_type_text", str), ("link_speed", int), ("link_speed_text", str),
           ("failed_requests", list)]
FAILURE = [("request", str), ("call", str), ("device", str), ("returned_length", int), ("error_code", int),
           ("error_text", str)]


def text(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def flat(obj, fields, where):
    if not isinstance(obj, dict):
        sys.exit(f"{where}: not an object")
    names = [name for name, _ in fields]
    if list(obj.keys()) != names:
        sys.exit(f"{where}: keys {list(obj.keys())} are not {names}")
    parts = []
    for name, kind in fields:
        value = obj[name]
        if value is not None and (not isinstance(value, kind) or (kind is int and isinstance(value, bool))):
            sys.exit(f"{where}: {name} is {type(value).__name__}, not {kind.__name__}")
        if kind is list:
            value = ";".join("/".join(text(f[n]) for n, _ in FAILURE) for f in
                             (flat_check(x, FAILURE, f"{where}.{name}") for x in value))
        parts.append(f"{name}={text(value)}")
    return " ".join(parts)


def flat_check(obj, fields, where):
    flat(obj, fields, where)
    return obj


def main():
    data = sys.stdin.buffer.read().decode("utf-8")
    if sys.argv[1] == "lines":
        if data and not data.endswith("\n"):
            sys.exit("the last line has no line end")
        for number, line in enumerate(data.splitlines(), 1):
            print(flat(json.loads(line.rstrip("\r")), ENTRY, f"line {number}"))
    else:
        document = json.loads(data)
        if list(document.keys()) != ["program", "version", "adapters"]:
            sys.exit(f"document keys {list(document.keys())}")
        print(f"program={document['program']} version={document['version']}")
        for i, adapter in enumerate(document["adapters"]):
            print(flat(adapter, ADAPTER, f"adapter {i}"))


main()

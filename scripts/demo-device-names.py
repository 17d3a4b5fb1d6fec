#!/usr/bin/env python3
"""Names the host devices of the demo bus for people: reads a device table that the program wrote
on the demo bus (DEVICES_IN), gives every device of the plug-in a location and a name from the
table below (or, for a channel not listed, from the device's comment in demo/bus.json), clears the
values it had read, and writes the table run.sh puts in place on a first run (DEVICES_OUT).

    scripts/demo-device-names.py DEVICES_IN DEVICES_OUT

scripts/regenerate-demo-devices.sh runs the program and this script together."""
import json
import pathlib
import sys

# ROM id: (location, {name suffix the plug-in gave the channel: name}); "" is the device itself.
NAMES = {
    "940000000001E228": ("Living room", {"-Temp": "Temperature"}),
    "640000000002F210": ("Cellar", {"-Temp": "Temperature"}),
    "2300000000030B22": ("Boiler room", {"-Temp": "Boiler"}),
    "A300000000049E28": ("Outside", {"-Temp": "Temperature"}),
    "8C00000000031B26": ("Bathroom", {"-Humidity": "Humidity", "-Temp": "Temperature",
                                      "-Vsense": "Humidity sensor current"}),
    "E900000000045120": ("Tanks", {"-ChannelA": "Rain tank level", "-ChannelB": "Reference",
                                   "-ChannelC": "Oil tank level", "-ChannelD": "Pond level"}),
    "AB00000000054A1D": ("Meters", {"-Counter0": "Counter A", "-Counter1": "Counter B",
                                    "-Counter2": "Gas meter", "-Counter3": "Water meter"}),
    "4800000000066912": ("Garage", {"-Switch0": "Door opener", "-Switch1": "Lamp",
                                    "-PIO0": "Door opener sense", "-PIO1": "Lamp sense"}),
    "5300000000072C05": ("Porch", {"-Switch0": "Light", "-PIO0": "Light sense"}),
    "B90000000007132C": ("Attic", {"-Pot": "Fan speed"}),
    "B20000000008121F": ("Hall", {"-Switch0": "Coupler main", "-Switch1": "Coupler auxiliary",
                                  "-PIO0": "Coupler main sense",
                                  "-PIO1": "Coupler auxiliary sense"}),
    "3600000000090B01": ("Front door", {"": "Key"}),
    "3B00000000000A04": ("Hall", {"": "Clock"}),
    "2A00000000000B21": ("Kitchen", {"-Temp": "Freezer"}),
    "6900000000000C30": ("Garage", {"-Temp": "Battery temperature", "-Vad": "Battery voltage",
                                    "-Vdd": "Battery voltage", "-Vsense": "Battery current"}),
    "C400000000000D06": ("Hall", {"": "Note button"}),
    "0A000000000E013A": ("Driveway", {"-Switch0": "Gate opener", "-Switch1": "Gate light",
                                      "-PIO0": "Gate opener sense", "-PIO1": "Gate closed"}),
    "7B000000000F0129": ("Utility room", {
        **{f"-Switch{n}": f"Relay {n + 1}" for n in range(8)},
        **{f"-PIO{n}": f"Input {n + 1}" for n in range(8)}}),
    "F600000000100142": ("Boiler room", {"-Temp": "Heating flow", "-Switch0": "Pump",
                                         "-Switch1": "Valve", "-PIO0": "Pump sense",
                                         "-PIO1": "Valve sense"}),
}

PLUGIN = "Quellbrook 1-Wire Interface"


def main(source, target):
    root = pathlib.Path(__file__).resolve().parent.parent
    comments = {d["rom"]: d.get("comment", "")
                for d in json.loads((root / "demo" / "bus.json").read_text())["devices"]}
    doc = json.loads(pathlib.Path(source).read_text())
    devices = doc["devices"] if isinstance(doc, dict) else doc
    for device in devices:
        if device.get("interface") != PLUGIN:
            continue
        rom = device["iomisc"][:16]
        suffix = device["name"][16:] if device["name"].startswith(rom) else ""
        location, names = NAMES.get(rom, (comments.get(rom, "").capitalize() or "Demo", {}))
        device["Location"] = location
        device["name"] = names.get(suffix) or (
            (comments.get(rom, "").capitalize() + " " + suffix.lstrip("-")).strip())
        # Nothing has been read yet when the demo starts.
        device["value"] = 0
        device["string"] = ""
    pathlib.Path(target).write_text(json.dumps(doc, indent=1, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])

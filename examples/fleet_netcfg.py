# Changes one NetCfg field on every module that vrnscan finds, one thread
# per module, one line per module:
# python3 examples/fleet_netcfg.py [--port 3011] [--vrnscan vrnscan] 192.168.0.0/24 comment="rack 4"
import argparse
import dataclasses
import json
import subprocess
import sys
import threading

import vrn

parser = argparse.ArgumentParser(description="Change one NetCfg field on every module found.")
parser.add_argument("--port", type=int, default=3011, help="the modules' base port")
parser.add_argument("--vrnscan", default="vrnscan", help="the vrnscan program")
parser.add_argument("target", help="what vrnscan scans: an address, a range or a block")
parser.add_argument("change", help="FIELD=VALUE, a NetCfg field: ip, mask, gate, port, timeout, comment")
args = parser.parse_args()

field, _, text = args.change.partition("=")
kinds = {f.name: f.type for f in dataclasses.fields(vrn.NetCfg) if not f.name.startswith("_")}
if field not in kinds:
    sys.exit(f"### ERROR: No NetCfg field {field!r} ({', '.join(kinds)} expected)")
try:
    value = int(text, 0) if kinds[field] is int else text
except ValueError:
    sys.exit(f"### ERROR: Bad {field} {text!r} (a number expected)")

try:
    scan = subprocess.run([args.vrnscan, "--json", "--port", str(args.port), args.target], capture_output=True,
                          text=True)
except OSError as e:
    sys.exit(f"### ERROR: Can't run {args.vrnscan}: {e.strerror}")
if scan.returncode != 0:  # vrnscan's own error line, and its exit status
    sys.stdout.write(scan.stdout)
    sys.stderr.write(scan.stderr)
    sys.exit(scan.returncode)
addresses = [found["address"] for found in json.loads(scan.stdout) if found["module"]]

lines, failed = {}, []


def change(address):
    try:
        with vrn.Module(address, args.port) as m:
            old = m.netcfg()
            new = old.replace(**{field: value})  # refused as vrnrec refuses it
            m.write(vrn.NetCfg.SECTOR, new.to_bytes(), changed_only=True)
            now = getattr(m.netcfg(), field)
        lines[address] = f"{address}  {field}: {getattr(old, field)!r} -> {now!r}"
    except (vrn.VrnError, ValueError, TypeError) as e:
        lines[address] = f"### ERROR: {address}: {e}"
        failed.append(address)


threads = [threading.Thread(target=change, args=(a,)) for a in addresses]
for t in threads:
    t.start()
for t in threads:
    t.join()
for address in addresses:  # in the scan's order, whatever finished first
    print(lines[address])
print(f"Changed {len(addresses) - len(failed)} of {len(addresses)} modules")
sys.exit(1 if failed else 0)

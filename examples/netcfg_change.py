# Changes a module's IP address in its NetCfg record: save, change, check, write, check.
# python3 examples/netcfg_change.py 127.0.0.1 3011 192.168.0.151
import dataclasses
import sys

import vrn

ip, port, new_ip = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with vrn.Module(ip, port) as m:
    saved = m.read(vrn.NetCfg.SECTOR, 0, vrn.NetCfg.SIZE)
    vrn.save_data_file("saved.dat", saved)  # vrnprog puts it back
    changed = dataclasses.replace(vrn.NetCfg.from_bytes(saved), ip=new_ip)
    print(changed)  # as vrnstat prints it
    m.write(vrn.NetCfg.SECTOR, changed.to_bytes())
    print(m.netcfg())  # what the module holds now

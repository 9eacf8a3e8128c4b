#!/usr/bin/env python3
"""Makes the build's ZIP with CPack and checks that it holds what a Windows
host needs: the DLL, the headers, both import libraries, the
module-definition file, the C# binding, the tools and the licence."""
import glob
import os
import subprocess
import sys
import zipfile

EXPECTED = {"bin/Varnex.dll", "bin/varnex-demo.exe", "bin/varnex-doctor.exe", "bin/varnex_pacing_bench.exe", "bin/varnex_signal_lag_bench.exe", "include/varnex.h", "include/varnex/export.h", "include/varnex/pacer.h", "include/varnex/pacer.hpp",
            "lib/libVarnex.dll.a", "lib/Varnex.lib", "lib/Varnex.def", "bindings/dotnet/Varnex.cs", "LICENSE"}


def main():
    build_dir = sys.argv[1]
    for old in glob.glob(os.path.join(build_dir, "packages", "*.zip")):
        os.remove(old)
    subprocess.run(["cpack", "--config", "CPackConfig.cmake"], cwd=build_dir, check=True,
                   stdout=subprocess.DEVNULL)
    archives = glob.glob(os.path.join(build_dir, "packages", "*.zip"))
    if len(archives) != 1:
        print(f"expected one ZIP, found {archives}")
        return 1
    with zipfile.ZipFile(archives[0]) as archive:
        # Members sit under one top folder named after the package.
        members = {"/".join(name.split("/")[1:]) for name in archive.namelist() if not name.endswith("/")}
    if members != EXPECTED:
        print(f"{archives[0]} holds {sorted(members)}, expected {sorted(EXPECTED)}")
        return 1
    print(f"{os.path.basename(archives[0])}: {sorted(members)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

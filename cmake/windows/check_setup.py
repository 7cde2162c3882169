#!/usr/bin/python3
"""Checks Pakforge's own setup as msiinfo reads it, rebuilds the package to
see the same bytes, and, where the Linux build is there, rebuilds the setup
executable with the Linux pakforge-cli to see the same bytes too.
  check_setup.py MSI SETUP.EXE UPGRADE_CODE LINUX_BIN -- MAKE_MSI_ARGUMENTS...
MAKE_MSI_ARGUMENTS are make_msi.py's own after its OUTPUT."""
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)
    return condition


def table(msi, name):
    """The rows of one table, each a list of its columns."""
    text = subprocess.run(["msiinfo", "export", str(msi), name], check=True, capture_output=True,
                          text=True).stdout
    return [line.split("\t") for line in text.splitlines()[3:]]


def check_package(msi, variables, upgrade_code):
    props = dict(row[:2] for row in table(msi, "Property"))
    expected = {"ProductName": "Pakforge", "ProductVersion": variables["Version"], "ALLUSERS": "1",
                "ProductCode": "{%s}" % variables["ProductCode"], "UpgradeCode": "{%s}" % upgrade_code,
                "ARPPRODUCTICON": "pakforge.ico", "ARPURLINFOABOUT": "https://%s/" % variables["VendorHost"]}
    for name, value in expected.items():
        check(props.get(name) == value, "Property %s is %r (got %r)" % (name, value, props.get(name)))
    check([r[0] for r in table(msi, "Icon")] == ["pakforge.ico"], "the Icon table holds pakforge.ico")

    dirs = {r[0]: r[1:] for r in table(msi, "Directory")}
    check(dirs.get("INSTALLDIR") == ["ProgramFilesFolder", "Pakforge"], "INSTALLDIR is [ProgramFilesFolder]Pakforge")
    files = sorted(r[2].split("|")[-1] for r in table(msi, "File") if r[1] == "Programs")
    check(files == sorted(["pakforge.exe", "pakforge-cli.exe", "pakforge-pack.exe", "pakforge-res.exe",
                           "pakforge.dat", "pakforge.chm", "README.md", "LICENSE.txt"]),
          "the programs, data, help, README and licence are installed together: %s" % files)

    shortcuts = {r[2]: (r[1], r[4]) for r in table(msi, "Shortcut")}
    check(shortcuts == {"Pakforge": ("ShortcutFolder", "[INSTALLDIR]pakforge.exe"),
                        "Pakforge Help": ("ShortcutFolder", "[INSTALLDIR]pakforge.chm")},
          "Start-menu shortcuts to the program and its help: %s" % shortcuts)
    check(dirs.get("ShortcutFolder") == ["ProgramMenuFolder", "Pakforge"], "the shortcuts' folder is in the Start menu")

    shell = r"Software\Classes\SystemFileAssociations\.msi\shell\Pakforge"
    registry = {(r[1], r[2], r[3]): r[4] for r in table(msi, "Registry")}
    check(registry.get(("2", shell, "")) == "Build EXE with Pakforge", "the context-menu entry's text")
    check(registry.get(("2", shell + r"\command", "")) == '"[INSTALLDIR]pakforge.exe" "%1"',
          "the context-menu entry starts pakforge.exe with the package")

    upgrade = [r[1:6] for r in table(msi, "Upgrade")]
    version = variables["Version"]
    check(sorted(upgrade) == sorted([["", version, "", "1", ""], [version, "", "", "2", ""]]),
          "older versions are replaced, newer ones only detected: %s" % upgrade)
    conditions = {r[0]: r[1] for r in table(msi, "LaunchCondition")}
    check(conditions.get("NOT WIX_DOWNGRADE_DETECTED") == "A newer version of Pakforge is already installed.",
          "a downgrade is refused with a message: %s" % conditions)
    sequence = {r[0]: int(r[2]) for r in table(msi, "InstallExecuteSequence")}
    check(sequence.get("InstallValidate", 0) < sequence.get("RemoveExistingProducts", 0)
          < sequence.get("InstallInitialize", 0), "the older version goes before this one is installed")

    check(table(msi, "Environment") == [["PakforgePath", "=-*PATH", "[~];[INSTALLDIR]", "Path"]],
          "the system PATH gains INSTALLDIR at its end, removed again at uninstall")
    check(sequence.get("RemoveEnvironmentStrings") and sequence.get("WriteEnvironmentStrings"),
          "the environment actions run")
    features = {(r[0], r[1]) for r in table(msi, "FeatureComponents")}
    check(("AddToPath", "Path") in features and ("Complete", "Path") not in features,
          "the PATH entry is a feature of its own")
    check(any(r[0] == "AddToPath" and r[5] == "1" for r in table(msi, "Feature")), "the PATH feature is on by default")


def main(argv):
    if len(argv) < 6 or argv[4] != "--":
        sys.exit(__doc__)
    msi, setup, upgrade_code, linux_bin = pathlib.Path(argv[0]), pathlib.Path(argv[1]), argv[2], argv[3]
    make_msi_args = argv[5:]
    variables = dict(a.split("=", 1) for a in make_msi_args[1:make_msi_args.index("--")])
    check_package(msi, variables, upgrade_code)

    with tempfile.TemporaryDirectory() as work:
        again = pathlib.Path(work) / msi.name
        subprocess.run([sys.executable, str(HERE / "make_msi.py"), str(again), *make_msi_args], check=True)
        check(again.read_bytes() == msi.read_bytes(), "a second build of the package gives the same bytes")
        cli = pathlib.Path(linux_bin) / "pakforge-cli"
        if not cli.exists():
            # 77: skipped, outside CI only.
            print("%s is not built: the Linux side of the comparison is left out" % cli)
            return 1 if failures or os.environ.get("CI", "") not in ("", "0") else 77
        exe = pathlib.Path(work) / setup.name
        icon = next(a for a in make_msi_args if a.startswith("pakforge.ico=")).split("=", 1)[1]
        subprocess.run([str(cli), "--quiet", "--version-info", str(msi), str(icon), str(exe)], check=True,
                       env=dict(os.environ, PAKFORGE_CONTAINER=str(setup.parent / "bin" / "pakforge.dat")))
        check(exe.read_bytes() == setup.read_bytes(), "the Linux pakforge-cli builds the same setup executable")
    print("%d check(s) failed" % len(failures) if failures else "all checks held")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Pakforge's own setup under Wine, in a fresh prefix: a silent install, the
PATH entry, the installed pakforge-cli against the Linux one, the shortcuts
and the context-menu entry, the window started from that entry, an upgrade,
a refused downgrade and an uninstall that leaves nothing behind.
  setup_test.py SETUP.EXE LINUX_CLI WORK_DIR SCREENSHOT_DIR -- MAKE_MSI_ARGUMENTS...
MAKE_MSI_ARGUMENTS are make_msi.py's own after its OUTPUT (they build the
higher version for the upgrade). Exit 77 when the Linux build is not there
(outside CI only)."""
import os
import pathlib
import shutil
import subprocess
import sys
import uuid

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.dont_write_bytecode = True  # nothing written into the source tree
from window_test import XServer, check, failures, make_package, wine_path  # noqa: E402

ROOT = HERE.parent.parent
WINE_RUN = ROOT / "cmake" / "windows" / "wine-run.sh"
UPGRADE_CODE = "7E1B3C52-94A6-4F0D-8C25-6B1D2A4F9E30"
INSTALLED_FOLDER = "C:\\Program Files\\Pakforge\\"
SHELL_KEY = r"HKLM\Software\Classes\SystemFileAssociations\.msi\shell\Pakforge"
EPOCH = "1767225600"


class Prefix:
    def __init__(self, path, display=None):
        self.path = path
        self.env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        PAKFORGE_UPDATE_HOST="127.0.0.1:9", SOURCE_DATE_EPOCH=EPOCH)
        self.env.pop("PAKFORGE_CONTAINER", None)
        if display:
            self.env["DISPLAY"] = display
        else:
            self.env.pop("DISPLAY", None)

    def run(self, *args, limit=600):
        result = subprocess.run(["sh", str(WINE_RUN), str(self.path), *args], env=self.env, capture_output=True,
                                timeout=limit)
        return result.returncode, result.stdout.decode(errors="replace")

    def start(self, *args):
        return subprocess.Popen(["sh", str(WINE_RUN), str(self.path), *args], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def settle(self):
        """Ends the prefix's server, so that the registry is on disk and the
        next program starts with the environment the registry holds."""
        subprocess.run(["wineserver", "-w"], env=dict(self.env, WINEPREFIX=str(self.path)))

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=str(self.path)))

    def reg_query(self, key, value=None):
        args = ["reg", "query", key] + (["/v", value] if value else [])
        status, out = self.run(*args)
        return out if status == 0 else None

    @property
    def install_dir(self):
        return self.path / "drive_c" / "Program Files" / "Pakforge"

    def shortcuts(self):
        return sorted(self.path.glob("drive_c/**/Start Menu/Programs/Pakforge/*.lnk"))


def make_msi_args_version(make_msi_args):
    return next(a for a in make_msi_args if a.startswith("Version=")).split("=", 1)[1]


def product_code(version):
    return str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), "product " + version)).upper()


def installed_entries(prefix):
    """Apps & features' entries named Pakforge: {product code: version}."""
    entries = {}
    listing = prefix.reg_query(r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall") or ""
    for key in (line.strip() for line in listing.splitlines() if "Uninstall\\" in line):
        values = prefix.reg_query(key) or ""
        if "DisplayName" in values and "Pakforge" in values.split("DisplayName", 1)[1].splitlines()[0]:
            version = values.split("DisplayVersion", 1)[1].splitlines()[0].split()[-1]
            entries[key.rsplit("\\", 1)[1]] = version
    return entries


def system_path(prefix):
    """The system PATH's entries. Empty ones are left out: Wine's msi.dll
    takes an entry out of a list but not its separator."""
    out = prefix.reg_query(r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment", "PATH") or ""
    value = out.split("REG_EXPAND_SZ", 1)[-1].strip() if "REG_EXPAND_SZ" in out else ""
    return [entry for entry in value.split(";") if entry]


def install(prefix, setup, version):
    status, _ = prefix.run(str(setup), "/qn")
    prefix.settle()
    check(status == 0, "the %s setup installs silently (exit %s)" % (version, status))
    for name in ("pakforge.exe", "pakforge-cli.exe", "pakforge-pack.exe", "pakforge-res.exe", "pakforge.dat",
                 "pakforge.chm", "README.md", "LICENSE.txt"):
        check((prefix.install_dir / name).is_file(), "%s is installed" % name)


def installed_programs(prefix, cli, container, work):
    """pakforge-cli by its name alone from a new console, and its build the
    Linux build's bytes."""
    check(system_path(prefix)[-1:] == [INSTALLED_FOLDER], "the system PATH ends with the program folder")
    status, out = prefix.run("cmd", "/c", "pakforge-cli --version")
    check(status == 0 and "pakforge-cli " in out, "pakforge-cli runs by its name alone: %r" % out)
    package = make_package(work, "Context Menu.msi")
    icon = work / "app.ico"
    shutil.copy(ROOT / "examples" / "sample.ico", icon)
    status, _ = prefix.run("cmd", "/c", "pakforge-cli", wine_path(package), wine_path(icon),
                           wine_path(work / "windows.exe"))
    subprocess.run([str(cli), str(package), str(icon), str(work / "linux.exe")], check=True, capture_output=True,
                   env=dict(os.environ, PAKFORGE_CONTAINER=str(container), SOURCE_DATE_EPOCH=EPOCH))
    check(status == 0 and (work / "windows.exe").exists() and
          (work / "windows.exe").read_bytes() == (work / "linux.exe").read_bytes(),
          "the installed pakforge-cli builds the Linux build's bytes")
    return package


def apps_and_features(prefix, version, icon):
    """The entry's address, and its icon as Windows Installer publishes it."""
    code = "{%s}" % product_code(version)
    entry = prefix.reg_query(r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + code) or ""
    check("URLInfoAbout    REG_SZ    https://" in entry, "Apps & features shows the product's address: %r" % entry)
    published = prefix.path / "drive_c" / "windows" / "Installer" / code / "pakforge.ico"
    check(published.is_file() and published.read_bytes() == pathlib.Path(icon).read_bytes(),
          "Apps & features shows the Pakforge icon")


def integration(prefix):
    links = [p.name for p in prefix.shortcuts()]
    check(links == ["Pakforge Help.lnk", "Pakforge.lnk"], "the Start menu holds both shortcuts: %s" % links)
    for link, target in (("Pakforge.lnk", "pakforge.exe"), ("Pakforge Help.lnk", "pakforge.chm")):
        found = [p for p in prefix.shortcuts() if p.name == link]
        data = found[0].read_bytes() if found else b""
        check(target.encode() in data or target.encode("utf-16-le") in data, "%s points to %s" % (link, target))
    menu = prefix.reg_query(SHELL_KEY) or ""
    check("Build EXE with Pakforge" in menu, "the context menu of .msi files offers the entry: %r" % menu)
    command = prefix.reg_query(SHELL_KEY + r"\command") or ""
    check(r'"C:\Program Files\Pakforge\pakforge.exe" "%1"' in command, "the entry starts pakforge.exe: %r" % command)


def context_menu_start(prefix, x, package, shots):
    """What Explorer starts: the installed window with the package alone."""
    app = prefix.start(str(prefix.install_dir / "pakforge.exe"), wine_path(package))
    window = x.wait_for("Pakforge")
    if check(window is not None, "the window opens for one package argument"):
        x.screenshot(window, shots / "windows-main-window-context-menu.png")
    check(app.poll() is None, "the window stays open")
    app.terminate()
    prefix.stop()


def upgrade(prefix, work, make_msi_args, cli, container):
    """The same package one version up, with a README of its own."""
    wxs, rest = make_msi_args[0], make_msi_args[1:]
    split = rest.index("--")
    variables = dict(v.split("=", 1) for v in rest[:split])
    old = variables["Version"]
    new = ".".join(old.split(".")[:2] + [str(int(old.split(".")[2]) + 1)])
    variables.update(Version=new, ProductCode=product_code(new),
                     PackageCode=str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), "package " + new)).upper())
    readme = work / "README-new.md"
    readme.write_text("Pakforge %s\n" % new)
    entries = [("README.md=%s" % readme) if e.startswith("README.md=") else e for e in rest[split + 1:]]
    msi, setup = work / ("Pakforge-%s.msi" % new), work / ("Pakforge-%s-setup.exe" % new)
    subprocess.run([sys.executable, str(ROOT / "cmake" / "windows" / "make_msi.py"), str(msi), wxs,
                    *("%s=%s" % kv for kv in variables.items()), "--", *entries], check=True)
    icon = next(e for e in entries if e.startswith("pakforge.ico=")).split("=", 1)[1]
    subprocess.run([str(cli), "--quiet", "--version-info", str(msi), icon, str(setup)], check=True,
                   env=dict(os.environ, PAKFORGE_CONTAINER=str(container)))
    install(prefix, setup, new)
    check(installed_entries(prefix) == {"{%s}" % product_code(new): new},
          "one entry in Apps & features, the new version: %s" % installed_entries(prefix))
    check((prefix.install_dir / "README.md").read_text() == "Pakforge %s\n" % new, "the new version's files")
    check(system_path(prefix).count(INSTALLED_FOLDER) == 1, "the PATH holds the folder once: %s" % system_path(prefix))
    return new, setup


def downgrade_refused(prefix, setup, new):
    status, _ = prefix.run(str(setup), "/qn")
    prefix.settle()
    check(status != 0, "the older setup refuses to replace a newer version (exit %s)" % status)
    check(installed_entries(prefix) == {"{%s}" % product_code(new): new}, "the newer version stays")


def uninstall(prefix, new, setup, work, path_before):
    """As the help says: the package out of the setup, then msiexec /x."""
    folder = work / "extracted"
    folder.mkdir()
    status, _ = prefix.run(str(prefix.install_dir / "pakforge-cli.exe"), "--extract", wine_path(setup),
                           wine_path(folder))
    msi = folder / ("Pakforge-%s.msi" % new)
    check(status == 0 and msi.is_file(), "the installed pakforge-cli extracts the package from the setup")
    status, _ = prefix.run("msiexec", "/x", wine_path(msi), "/qn")
    prefix.settle()
    check(status == 0, "the uninstall succeeds (exit %s)" % status)
    check(not prefix.install_dir.exists(), "no file or folder is left in Program Files")
    check(not prefix.shortcuts() and not list(prefix.path.glob("drive_c/**/Start Menu/Programs/Pakforge")),
          "no shortcut or Start-menu folder is left")
    check(prefix.reg_query(SHELL_KEY) is None, "the context-menu entry is gone")
    check(prefix.reg_query(r"HKLM\Software\Pakforge") is None, "no key of ours is left")
    check(system_path(prefix) == path_before, "the PATH is as before: %s" % system_path(prefix))
    check(installed_entries(prefix) == {}, "Apps & features lists no Pakforge")
    check(not list(prefix.path.glob("drive_c/windows/Installer/{%s}" % product_code(new))),
          "the published icon is gone")


def without_path(prefix, setup, path_before):
    """The documented silent install without the PATH feature."""
    status, _ = prefix.run(str(setup), "/qn", "ADDLOCAL=Complete")
    prefix.settle()
    check(status == 0 and (prefix.install_dir / "pakforge-cli.exe").is_file(), "ADDLOCAL=Complete installs")
    check(system_path(prefix) == path_before, "ADDLOCAL=Complete leaves the PATH alone: %s" % system_path(prefix))


def main(argv):
    if len(argv) < 7 or argv[4] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    setup, cli, work, shots = (pathlib.Path(a).resolve() for a in argv[:4])
    make_msi_args = argv[5:]
    container = setup.parent / "bin" / "pakforge.dat"
    under_ci = os.environ.get("CI", "") not in ("", "0")
    for needed in (setup, cli, container):
        if not needed.exists():
            print("%s is not built" % needed, file=sys.stderr)
            return 1 if under_ci else 77
    shutil.rmtree(work, ignore_errors=True)
    (work / "data").mkdir(parents=True)
    shots.mkdir(parents=True, exist_ok=True)
    x = XServer()
    prefix = Prefix(work / "prefix", x.display)
    try:
        prefix.run("cmd", "/c", "exit")  # makes the prefix
        path_before = system_path(prefix)
        check(path_before and INSTALLED_FOLDER not in path_before, "the fresh prefix's PATH: %s" % path_before)
        install(prefix, setup, "this")
        package = installed_programs(prefix, cli, container, work / "data")
        integration(prefix)
        icon = next(a for a in make_msi_args if a.startswith("pakforge.ico=")).split("=", 1)[1]
        apps_and_features(prefix, make_msi_args_version(make_msi_args), icon)
        context_menu_start(prefix, x, package, shots)
        new, new_setup = upgrade(prefix, work / "data", make_msi_args, cli, container)
        downgrade_refused(prefix, setup, new)
        uninstall(prefix, new, new_setup, work, path_before)
        without_path(prefix, setup, path_before)
    finally:
        prefix.stop()
        x.close()
    print("%d check(s) failed" % len(failures) if failures else "all checks held")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

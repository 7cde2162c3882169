#!/usr/bin/python3
"""pakforge.exe as a person sees it, under Wine on a virtual X server (Xvfb).

  window_test.py PAKFORGE_EXE LINUX_CLI CONTAINER WORK_DIR [SCREENSHOT_DIR]

- The three-argument start builds a real package at once, ends with 0 without
  a window, and writes the same bytes as the Linux pakforge-cli.
- Without arguments the window comes up at its size; a build from a package
  and an icon picked in its file dialog writes the Linux bytes too; its About link opens the About window,
  whose update check reports its failure in a box (screenshots go to
  SCREENSHOT_DIR, default WORK_DIR).
- An update check's answer that comes during a build (a loopback HTTPS
  server holds it until then) shows its box only after the build, the box
  takes a key, and the window then closes as usual.
- A three-argument start that fails shows its box, then the window, and the
  process ends with 1 once the window is closed.
- The Help link: a box when pakforge.chm is missing; with it, hh.exe started
  on the file's short path.
- At 120 dots per inch the window is 5/4 of its size.
- Its icon and manifest, read back with icoutils.
Exit status 0 when every check held; each failed check is printed.
"""

import os
import pathlib
import random
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
WINE_RUN = HERE.parent.parent / "cmake" / "windows" / "wine-run.sh"
LOOPBACK = HERE.parent / "windows-services" / "loopback.sh"
CLIENT = (590, 402)  # the main window's client area at 96 dots per inch
ABOUT_CLIENT = (500, 277)

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)
    return condition


def wine_path(path):
    return "Z:" + str(path).replace("/", "\\")


class XServer:
    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 1)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def close(self):
        self.process.terminate()
        self.process.wait(30)

    def run(self, *args):
        result = subprocess.run(list(args), env=dict(os.environ, DISPLAY=self.display),
                                capture_output=True, text=True)
        return result.stdout

    def windows(self, title):
        """Visible windows with exactly this title: [(id, (x, y), (w, h))]."""
        found = []
        for wid in self.run("xdotool", "search", "--onlyvisible", "--name", "^%s$" % title).split():
            info = self.run("xdotool", "getwindowgeometry", "--shell", wid)
            values = dict(line.split("=", 1) for line in info.split() if "=" in line)
            if "WIDTH" in values:
                found.append((wid, (int(values["X"]), int(values["Y"])),
                              (int(values["WIDTH"]), int(values["HEIGHT"]))))
        return found

    def wait_for(self, title, accept=lambda window: True, limit=120):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            for window in self.windows(title):
                if accept(window):
                    return window
            time.sleep(0.2)
        return None

    def screenshot(self, window, path):
        """The window's area of the screen, as a person sees it."""
        _, (x, y), (w, h) = window
        self.run("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", str(path))


class Wine:
    def __init__(self, prefix, exe, container, display):
        self.prefix = prefix
        self.exe = exe
        self.env = dict(os.environ, DISPLAY=display, WINEDEBUG="-all", TZ="Europe/Berlin",
                        WINEDLLOVERRIDES="mscoree,mshtml=", PAKFORGE_UPDATE_HOST="127.0.0.1:9",
                        PAKFORGE_CONTAINER=wine_path(container))

    def start(self, args, container=None, exe=None, trace=None, env=None):
        """trace: a file for Wine's trace of process starts; env: more variables."""
        env = dict(self.env, **(env or {}))
        if container is not None:
            env["PAKFORGE_CONTAINER"] = wine_path(container)
        if trace is not None:
            env["WINEDEBUG"] = "-all,trace+process"
        return subprocess.Popen(["sh", str(WINE_RUN), str(self.prefix), str(exe or self.exe)] + args, env=env,
                                stdout=subprocess.DEVNULL,
                                stderr=open(trace, "wb") if trace is not None else subprocess.DEVNULL)

    def set_dpi(self, dpi):
        """The screen's dots per inch, as the display settings set them."""
        subprocess.run(["sh", str(WINE_RUN), str(self.prefix), "reg", "add", r"HKCU\Control Panel\Desktop", "/v",
                        "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wineserver", "-w"], env=dict(self.env, WINEPREFIX=str(self.prefix)))

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=str(self.prefix)))


def exit_status(process, limit):
    try:
        return process.wait(limit)
    except subprocess.TimeoutExpired:
        return None


def make_package(work, name="Window Test.msi", payload=b"hello from the package\n"):
    (work / "readme.txt").write_bytes(payload)
    wxs = work / "package.wxs"
    wxs.write_text("""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="12345678-1234-1234-1234-123456789012" Name="Window Test" Language="1033" Version="2.3.4"
           Manufacturer="Pakforge Tests" UpgradeCode="87654321-4321-4321-4321-210987654321">
    <Package InstallerVersion="200" Compressed="yes"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="WindowTest">
          <Component Id="Payload" Guid="11111111-2222-3333-4444-555555555555">
            <File Id="PayloadFile" Name="readme.txt" Source="readme.txt" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
""")
    package = work / name
    subprocess.run(["wixl", "-o", package.name, wxs.name], cwd=work, check=True, capture_output=True)
    # One time stamp for both builds (the archive stores it).
    os.utime(package, (1719835200, 1719835200))
    return package


def resources(exe, work):
    """What the program carries, read with icoutils: its icon at four sizes,
    and a manifest asking for common controls 6 and per-monitor density."""
    icon = work / "program.ico"
    subprocess.run(["wrestool", "-x", "-t", "14", "-o", str(icon), str(exe)], check=True)
    sizes = subprocess.run(["icotool", "-l", str(icon)], check=True, capture_output=True, text=True).stdout
    check(all("--width=%d --height=%d" % (side, side) in sizes for side in (16, 32, 48, 256)),
          "the program's icon has 16, 32, 48 and 256 pixels: %s" % sizes)
    manifest = subprocess.run(["wrestool", "-x", "--raw", "-t", "24", str(exe)], check=True,
                              capture_output=True).stdout.decode(errors="replace")
    for needed in ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', 'level="asInvoker"',
                   ">true/pm<", "PerMonitorV2"):
        check(needed in manifest, "the manifest holds " + needed)


def three_arguments(x, wine, cli, container, package, icon, work):
    """The command-line build: no window, exit 0, the Linux bytes."""
    windows_out = work / "from windows.exe"
    linux_out = work / "from linux.exe"
    app = wine.start([wine_path(package), wine_path(icon), wine_path(windows_out)])
    status = exit_status(app, 300)
    check(status == 0, "three-argument start ends with 0 (got %s)" % status)
    check(not x.windows("Pakforge"), "three-argument start leaves no window open")
    subprocess.run([str(cli), str(package), str(icon), str(linux_out)], check=True, capture_output=True,
                   env=dict(os.environ, TZ="Europe/Berlin", PAKFORGE_CONTAINER=str(container)))
    if check(windows_out.exists(), "three-argument start wrote its output"):
        check(windows_out.read_bytes() == linux_out.read_bytes(),
              "pakforge.exe writes the same bytes as the Linux pakforge-cli")


def main_window(x, wine, cli, container, package, icon, work, shots):
    """The window as it comes up, a build from it, and its About link."""
    app = wine.start([])
    main = x.wait_for("Pakforge", lambda w: w[2][0] >= CLIENT[0] and w[2][1] >= CLIENT[1])
    if not check(main is not None, "the main window comes up"):
        app.kill()
        return
    time.sleep(1.0)  # the first paint
    x.screenshot(main, shots / "windows-main-window.png")
    wid, _, (width, height) = main
    # Wine's own frame around the client area: as wide on each side as it is
    # at the bottom.
    border = (width - CLIENT[0]) // 2
    caption = height - CLIENT[1] - border
    check(0 <= border <= 10 and 0 <= caption <= 40,
          "client area is 590 x 402 (window %dx%d)" % (width, height))

    # A build from the window: the package and the icon picked with the
    # Browse... buttons' dialog (the name typed into it), the output derived
    # from the package, then Build.
    def click(left, top):
        x.run("xdotool", "mousemove", "--window", wid, str(border + left), str(caption + top), "click", "1")

    def pick(button_top, path):
        click(517, button_top + 16)
        dialog = x.wait_for("Open", limit=60)
        if not check(dialog is not None, "a Browse... button opens the file dialog"):
            return
        x.run("xdotool", "type", "--delay", "20", wine_path(path))
        x.run("xdotool", "key", "Return")
        end = time.monotonic() + 60
        while x.windows("Open") and time.monotonic() < end:
            time.sleep(0.2)

    pick(106, package)
    pick(162, icon)
    windows_out = package.with_suffix(".exe")
    linux_out = work / "picked linux.exe"
    click(517, 292)
    end = time.monotonic() + 120
    while not windows_out.exists() and time.monotonic() < end:
        time.sleep(0.2)
    time.sleep(1.0)  # the last log lines' paint
    x.screenshot(main, shots / "windows-main-window-after-build.png")
    subprocess.run([str(cli), str(package), str(icon), str(linux_out)], check=True, capture_output=True,
                   env=dict(os.environ, TZ="Europe/Berlin", PAKFORGE_CONTAINER=str(container)))
    if check(windows_out.exists(), "Build writes the output named after the package picked"):
        check(windows_out.read_bytes() == linux_out.read_bytes(),
              "a build from the window writes the Linux pakforge-cli's bytes")

    # The About link, a label in the banner's right corner.
    x.run("xdotool", "mousemove", "--window", wid, str(border + 550), str(caption + 66), "click", "1")
    about = x.wait_for("About Pakforge", limit=30)
    if check(about is not None, "the About link opens the About window"):
        time.sleep(1.0)
        x.screenshot(about, shots / "windows-about-window.png")
        _, _, (about_width, about_height) = about
        check(about_width >= ABOUT_CLIENT[0] and about_height >= ABOUT_CLIENT[1], "About window at its size")
        # The update check asks a port where nothing listens: its worker
        # hands the failure to the window's thread, which shows the box.
        about_border = (about_width - ABOUT_CLIENT[0]) // 2
        about_caption = about_height - ABOUT_CLIENT[1] - about_border
        x.run("xdotool", "mousemove", "--window", about[0], str(about_border + 90),
              str(about_caption + 162), "click", "1")
        box = x.wait_for("Error", limit=60)
        if check(box is not None, "a failed update check shows its box"):
            time.sleep(0.5)
            x.screenshot(box, shots / "windows-update-failed.png")
            x.run("xdotool", "key", "--window", box[0], "Return")
            end = time.monotonic() + 30
            while x.windows("Error") and time.monotonic() < end:
                time.sleep(0.2)
            check(not x.windows("Error"), "the update box closes on Return")
        x.run("xdotool", "key", "--window", about[0], "Escape")
        x.wait_for("About Pakforge", limit=0.5)

    x.run("xdotool", "windowfocus", "--sync", wid)
    x.run("xdotool", "key", "--window", wid, "alt+F4")
    status = exit_status(app, 60)
    check(status == 0, "closing the window ends the program with 0 (got %s)" % status)
    if status is None:
        app.kill()


def update_during_build(x, wine, work, shots):
    """About, "Check updates...", then Build while the server still holds its
    answer; the answer comes during the build. Its box must wait for the
    build's end (the build's loop drops input), then take a key; the window
    must close as usual afterwards."""
    data = work / "large"
    data.mkdir()
    # Large, so that the build goes on for a good while after the answer.
    package = make_package(data, "Large.msi", random.Random(5).randbytes(160 << 20))
    out = data / "Large.exe"
    server = work / "server"
    subprocess.run(["sh", str(LOOPBACK), "start", str(server)], check=True)
    try:
        (server / "case").write_text("late")
        app = wine.start([], env={"PAKFORGE_UPDATE_HOST": "127.0.0.1:" + (server / "port").read_text().strip(),
                                  "PAKFORGE_UPDATE_CA": wine_path(server / "ca.pem")})
        main = x.wait_for("Pakforge", lambda w: w[2][0] >= CLIENT[0])
        if not check(main is not None, "the window comes up for the update check"):
            app.kill()
            return
        wid, _, (width, height) = main
        border = (width - CLIENT[0]) // 2
        caption = height - CLIENT[1] - border

        def click(window, left, top):
            x.run("xdotool", "mousemove", "--window", window, str(left), str(top), "click", "1")

        click(wid, border + 216, caption + 123)  # the package field
        x.run("xdotool", "type", "--delay", "5", wine_path(package))
        click(wid, border + 216, caption + 235)  # the output field
        x.run("xdotool", "type", "--delay", "5", wine_path(out))
        click(wid, border + 550, caption + 66)  # About
        about = x.wait_for("About Pakforge", limit=30)
        if not check(about is not None, "the About link opens the About window"):
            app.kill()
            return
        about_border = (about[2][0] - ABOUT_CLIENT[0]) // 2
        click(about[0], about_border + 90, about[2][1] - ABOUT_CLIENT[1] - about_border + 162)
        end = time.monotonic() + 30
        while not (server / "requests.log").read_text() and time.monotonic() < end:
            time.sleep(0.1)
        if not check((server / "requests.log").read_text(), "Check updates... asks the server"):
            app.kill()
            return

        click(wid, border + 565, caption + 292)  # Build, where the About window leaves it visible
        end = time.monotonic() + 60
        while not list(data.glob(".*.tmp")) and time.monotonic() < end:
            time.sleep(0.1)
        if not check(list(data.glob(".*.tmp")), "Build starts the build"):
            app.kill()
            return
        (server / "release").touch()
        end = time.monotonic() + 30
        while not (server / "answered").exists() and time.monotonic() < end:
            time.sleep(0.1)
        if not check((server / "answered").exists() and not out.exists(),
                     "the answer comes during the build (if the build ended first, the package is too small)"):
            app.kill()
            return
        time.sleep(0.5)
        x.screenshot(main, shots / "windows-update-answer-during-build.png")

        # A box seen while the output is still unwritten came up inside the
        # build.
        box_during_build = False
        end = time.monotonic() + 300
        while time.monotonic() < end:
            box = x.windows("Confirm")
            if out.exists():
                break
            box_during_build = box_during_build or bool(box)
            time.sleep(0.1)
        check(not box_during_build, "the update box waits for the end of the build")
        box = x.wait_for("Confirm", limit=120)
        if check(box is not None, "after the build the update box comes"):
            time.sleep(0.5)
            x.screenshot(main, shots / "windows-update-answer-after-build.png")
            x.run("xdotool", "key", "--window", box[0], "n")  # No
            end = time.monotonic() + 30
            while x.windows("Confirm") and time.monotonic() < end:
                time.sleep(0.2)
            check(not x.windows("Confirm"), "the update box takes a key")
        x.run("xdotool", "windowfocus", "--sync", wid)
        x.run("xdotool", "key", "--window", wid, "alt+F4")
        status = exit_status(app, 60)
        check(status == 0, "after the update box the window closes with 0 (got %s)" % status)
        if status is None:
            app.kill()
        check(out.exists(), "the build wrote its output")
    finally:
        subprocess.run(["sh", str(LOOPBACK), "stop", str(server)])


def failing_build(x, wine, package, icon, work):
    """A command-line build that fails: the box, then the window; exit 1."""
    out = work / "never.exe"
    app = wine.start([wine_path(package), wine_path(icon), wine_path(out)], container=work / "missing.dat")
    box = x.wait_for("Pakforge")
    if not check(box is not None and box[2][0] < CLIENT[0], "the failure's box comes up before the window"):
        app.kill()
        return
    # Without a window manager nothing gives the box the focus (earlier runs
    # only had the pointer over it by chance); a person's click would.
    x.run("xdotool", "windowfocus", "--sync", box[0])
    x.run("xdotool", "key", "--window", box[0], "Return")
    main = x.wait_for("Pakforge", lambda w: w[2][0] >= CLIENT[0])
    if not check(main is not None, "after the box the window stays open"):
        app.kill()
        return
    check(exit_status(app, 1) is None, "the program waits for the user")
    x.run("xdotool", "windowfocus", "--sync", main[0])
    x.run("xdotool", "key", "--window", main[0], "alt+F4")
    status = exit_status(app, 60)
    check(status == 1, "a failed command-line build ends with 1 (got %s)" % status)
    check(not out.exists(), "a failed build leaves no output")
    if status is None:
        app.kill()


def help_link(x, wine, work):
    """The Help link: without pakforge.chm beside the program a box says so;
    with it, hh.exe gets the file's short path, unquoted."""
    exe = work / "pakforge.exe"  # in a folder whose name has a blank
    shutil.copy(wine.exe, exe)
    trace = work.parent / "help-trace.txt"
    app = wine.start([], exe=exe, trace=trace)
    main = x.wait_for("Pakforge", lambda w: w[2][0] >= CLIENT[0])
    if not check(main is not None, "the window comes up for the Help link"):
        app.kill()
        return
    wid, _, (width, height) = main
    border = (width - CLIENT[0]) // 2
    caption = height - CLIENT[1] - border
    help_at = [str(border + 495), str(caption + 66)]

    x.run("xdotool", "mousemove", "--window", wid, *help_at, "click", "1")
    box = x.wait_for("Pakforge", lambda w: w[2][0] < CLIENT[0], limit=30)
    if check(box is not None, "Help without its file shows a box"):
        x.run("xdotool", "key", "--window", box[0], "Return")
        end = time.monotonic() + 30
        while len(x.windows("Pakforge")) > 1 and time.monotonic() < end:
            time.sleep(0.2)

    (work / "pakforge.chm").write_bytes(b"ITSF")
    x.run("xdotool", "mousemove", "--window", wid, *help_at, "click", "1")
    started = None
    end = time.monotonic() + 30
    while started is None and time.monotonic() < end:
        time.sleep(0.5)
        for line in trace.read_text(errors="replace").splitlines():
            if "CreateProcessInternalW" in line and "hh.exe" in line:
                started = line
    if check(started is not None, "Help with its file starts hh.exe"):
        argument = started.split('hh.exe\\\"', 1)[-1].rstrip('"')
        check(argument.endswith("\\\\pakforge.chm") and "~" in argument and '\\"' not in argument
              and " " not in argument.strip(), "hh.exe gets the short path, unquoted: %s" % argument)
    x.run("xdotool", "windowfocus", "--sync", wid)
    x.run("xdotool", "key", "--window", wid, "alt+F4")
    if exit_status(app, 60) is None:
        app.kill()


def dense_screen(x, wine, shots):
    """At 120 dots per inch the whole layout scales by 5/4, rounded."""
    wine.set_dpi(120)
    try:
        app = wine.start([])
        expected = (738, 503)
        main = x.wait_for("Pakforge", lambda w: w[2][0] >= CLIENT[0])
        if check(main is not None, "the window comes up at 120 dots per inch"):
            time.sleep(1.0)
            x.screenshot(main, shots / "windows-main-window-120dpi.png")
            wid, _, (width, height) = main
            border = (width - expected[0]) // 2
            check(0 <= border <= 12 and 0 <= height - expected[1] - border <= 48,
                  "at 120 dots per inch the client area is 738 x 503 (window %dx%d)" % (width, height))
            x.run("xdotool", "windowfocus", "--sync", wid)
            x.run("xdotool", "key", "--window", wid, "alt+F4")
        if exit_status(app, 60) is None:
            app.kill()
    finally:
        wine.set_dpi(96)


def main(argv):
    if len(argv) not in (5, 6):
        print(__doc__, file=sys.stderr)
        return 2
    exe, cli, container, work = (pathlib.Path(a).resolve() for a in argv[1:5])
    shots = pathlib.Path(argv[5]).resolve() if len(argv) == 6 else work
    under_ci = os.environ.get("CI", "") not in ("", "0")
    for tool in ("Xvfb", "xdotool", "import", "wixl", "wine", "wrestool", "icotool", "openssl"):
        if not shutil.which(tool):
            print("%s is missing (scripts/setup.sh installs it)" % tool, file=sys.stderr)
            return 1
    for needed in (exe, cli, container):
        if not needed.exists():
            print("%s is not built" % needed, file=sys.stderr)
            return 1 if under_ci else 77
    shutil.rmtree(work, ignore_errors=True)
    (work / "Pakforge Test").mkdir(parents=True)
    shots.mkdir(parents=True, exist_ok=True)
    data = work / "Pakforge Test"
    package = make_package(data)
    icon = data / "app.ico"
    shutil.copy(HERE.parent.parent / "examples" / "sample.ico", icon)

    resources(exe, work)
    x = XServer()
    wine = Wine(work.parent / (work.name + "-wine"), exe, container, x.display)
    try:
        wine.set_dpi(96)
        three_arguments(x, wine, cli, container, package, icon, data)
        main_window(x, wine, cli, container, package, icon, data, shots)
        update_during_build(x, wine, work, shots)
        failing_build(x, wine, package, icon, data)
        help_link(x, wine, data)
        dense_screen(x, wine, shots)
    finally:
        wine.stop()
        x.close()
    print("%d check(s) failed" % len(failures) if failures else "all checks held")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""The monitor's status page in a real browser: headless Chromium from Debian loads `/`."""

import os
import re
import shutil
import tempfile

from monitor_cases import fetch, free_port, install_monitor, wait_serving
from sandbox import LOG_INFO, case, check, prog, read

CHROMIUM = "/usr/bin/chromium"
INJECT_PROGRAM = "/nonexistent/<img src=x onerror=alert(1)>"
INJECT_ARG = "<script>alert(2)</script>"


def chromium(sb, url, *options):
    """Standard output of one headless Chromium run on url; its profile is fresh each time."""
    check(shutil.which(CHROMIUM) is not None, "%s is missing: apt-get install chromium" % CHROMIUM)
    profile = tempfile.mkdtemp(prefix="chromium-", dir="/tmp")
    argv = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile] + list(options) + [url]
    pid = sb.spawn(["/bin/sh", "-c", 'exec "$@" >/tmp/chromium.out 2>/tmp/chromium.err', "sh"] + argv,
                   env={"PATH": "/usr/bin:/bin", "HOME": profile})
    rc = sb.wait_exit(pid, timeout=90)
    check(rc == 0, "chromium %s: status %d\n%s" % (" ".join(options), rc, read("/tmp/chromium.err")[-3000:]))
    return read("/tmp/chromium.out")


@case
def page_in_chromium(sb):
    """Chromium renders the real monitor's page: rows needing attention first, states in words, the
    injection rows as text; screenshots at 320 px and 1000 px are kept in the build tree."""
    port = free_port()
    sb.make_tree(monitor=None, watch_list="".join([
        "1:/var/run/mix/up.pid:%s:--pidfile=/var/run/mix/up.pid:%s\n" % (sb.fixture_path(), INJECT_ARG),
        "1:/var/run/mix/gone.pid:%s\n" % INJECT_PROGRAM,
        "0:/var/run/mix/off.pid:/bin/sleep:1000\n",
        "1:/var/run/mix/flap.pid:%s:--restart:/var/run/mix/flap.pid:/bin/sh:-c:sleep 1; exit 3\n" % prog("vemo-lockrun")]))
    install_monitor(sb, port)
    sb.install("vemo-lockrun", sb.built("vemo-lockrun"))
    _, first = sb.start_daemon()
    sb.wait_lock("/var/run/mix/up.pid", timeout=5)
    sb.wait_record(re.compile("^restarted /bin/sh .*restart 1,"), LOG_INFO, start=first, timeout=15, pid=None)
    wait_serving(sb, port, "/", 200)
    url = "http://127.0.0.1:%d/" % port
    status, headers, body = fetch(port, "/?state=down")
    check(status == 200 and headers["Content-Type"].startswith("text/html")
          and "default-src 'none'" in headers.get("Content-Security-Policy", ""), "page headers %r" % headers)
    check(body.count(b"<tr class=") == 1 and b'<tr class="down">' in body, "?state=down keeps the down row")

    dom = chromium(sb, url, "--dump-dom")
    rows = re.findall(r'<tr class="(\w+)"><td data-label="State"><span class="st \w+">([^<]+)</span></td>'
                      r'<td data-label="Line">([^<]+)</td>', dom)
    check(rows == [("down", "down", "2"), ("running", "running", "0 (monitor)"), ("running", "running", "1"),
                   ("running", "running", "4"), ("stopped", "stopped", "3")], "rows in the DOM: %r" % rows)
    check("&lt;img src=x onerror=alert(1)&gt;" in dom and "&lt;script&gt;alert(2)" in dom
          and "<img" not in dom and "<script" not in dom, "the injection rows are text:\n" + dom)
    check('<meta http-equiv="refresh" content="5">' in dom, "the page refreshes itself")

    artifacts = sb.built("e2e-artifacts")
    os.makedirs(artifacts, exist_ok=True)
    for width in (320, 1000):
        shot = "%s/page-%d.png" % (artifacts, width)
        chromium(sb, url, "--screenshot=" + shot, "--window-size=%d,900" % width)
        check(os.path.getsize(shot) > 5000, "a screenshot in %s" % shot)

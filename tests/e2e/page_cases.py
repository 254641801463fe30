"""The monitor's status page in a real browser: headless Chromium from Debian loads `/`."""

import os
import re
import tempfile

from monitor_cases import fetch, install_monitor, wait_serving
from sandbox import LOG_INFO, case, check, free_port, prog, read

CHROMIUM = "/usr/bin/chromium"


def chromium(sb, url, *options):
    """Standard output of one headless Chromium run on url, with a fresh profile."""
    check(os.access(CHROMIUM, os.X_OK), "%s is missing: apt-get install chromium" % CHROMIUM)
    profile = tempfile.mkdtemp(prefix="chromium-", dir="/tmp")
    argv = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile] + list(options) + [url]
    pid = sb.spawn(["/bin/sh", "-c", 'exec "$@" >/tmp/chromium.out 2>/tmp/chromium.err', "sh"] + argv,
                   env={"PATH": "/usr/bin:/bin", "HOME": profile})
    check(sb.wait_exit(pid, timeout=90) == 0, "chromium %s failed:\n%s" % (options, read("/tmp/chromium.err")[-3000:]))
    return read("/tmp/chromium.out")


@case
def page_in_chromium(sb):
    """Rows needing attention first, states in words, injections as text; screenshots kept in the build."""
    port = free_port()
    sb.make_tree(monitor=None, watch_list="".join([
        "1:/var/run/mix/up.pid:%s:--pidfile=/var/run/mix/up.pid:<script>alert(2)</script>\n" % sb.fixture_path(),
        "1:/var/run/mix/gone.pid:/nonexistent/<img src=x onerror=alert(1)>\n",
        "0:/var/run/mix/off.pid:/bin/sleep:1000\n",
        "1:/var/run/mix/flap.pid:%s:--restart:/var/run/mix/flap.pid:/bin/false\n" % prog("vemo-lockrun")]))
    install_monitor(sb, port)
    sb.install("vemo-lockrun", sb.built("vemo-lockrun"))
    _, first = sb.start_daemon()
    sb.wait_lock("/var/run/mix/up.pid", timeout=5)
    sb.wait_record(re.compile("^restarted false .*restart 1,"), LOG_INFO, start=first, timeout=15, pid=None)
    wait_serving(sb, port, "/", 200)
    check("default-src 'none'" in fetch(port, "/")[1].get("Content-Security-Policy", ""), "the page's CSP")
    url = "http://127.0.0.1:%d/" % port
    dom = chromium(sb, url, "--dump-dom")
    rows = re.findall(r'<tr class="(\w+)"><td data-label="State"><span class="st \w+">([^<]+)</span></td>'
                      r'<td data-label="Line">([^<]+)</td>', dom)
    check(rows == [("down", "down", "2"), ("running", "running", "0 (monitor)"), ("running", "running", "1"),
                   ("running", "running", "4"), ("stopped", "stopped", "3")], "rows in the DOM: %r" % rows)
    check("&lt;img src=x onerror=alert(1)&gt;" in dom and "&lt;script&gt;alert(2)" in dom
          and "<img" not in dom and "<script" not in dom and '<meta http-equiv="refresh" content="5">' in dom,
          "the injection rows are text, and the page refreshes itself:\n" + dom)
    os.makedirs(sb.built("e2e-artifacts"), exist_ok=True)
    for width in (320, 1000):
        shot = sb.built("e2e-artifacts", "page-%d.png" % width)
        chromium(sb, url, "--screenshot=" + shot, "--window-size=%d,900" % width)

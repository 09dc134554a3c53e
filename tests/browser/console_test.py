#!/usr/bin/python3
"""The web console in a real headless Chromium (Debian's chromium and
chromium-driver, driven by python3-selenium) against `velasms gateway` with
two simulated modems: m1 delivers and reports, m2 answers every message with
+CMS ERROR: 42 (congestion), so its messages wait in the queue and then fail.

Writes a screenshot of each view at 1280 and 360 px wide into --out.
Exit 77 (skipped) only when the browser, its driver or selenium is missing.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.error
import urllib.request

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
XSS = "<img src=x onerror=alert(1)><script>alert(2)</script>"

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Sim:
    """`velasms modem-sim` on a pty, fed control lines on its standard input."""

    def __init__(self, velasms, link, extra):
        self.proc = subprocess.Popen([velasms, "modem-sim", "--link", link, *extra], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("ready "):
            raise Failure(f"the simulator did not start: {line!r}")

    def deliver(self, sender, text):
        self.proc.stdin.write(f"deliver {sender} {text}\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Gateway:
    def __init__(self, velasms, work, token):
        self.token = token
        self.log_path = os.path.join(work, "gateway.log")
        with open(os.path.join(work, "token"), "w") as f:
            f.write(token + "\n")
        os.chmod(os.path.join(work, "token"), 0o600)
        config = os.path.join(work, "gateway.conf")
        with open(config, "w") as f:
            f.write(f"modem = m1={work}/m1\nmodem = m2={work}/m2\ndb = {work}/gw.db\nlisten = 127.0.0.1:0\n"
                    f"token-file = {work}/token\nmax-attempts = 2\nretry-delay = 30000\n")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([velasms, "gateway", "--config", config], stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with open(self.log_path) as f:
                m = re.search(r"listening on [^ ]+:(\d+),", f.read())
            if m:
                self.url = f"http://127.0.0.1:{m.group(1)}"
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        with open(self.log_path) as f:
            raise Failure("the gateway did not start:\n" + f.read())

    def request(self, method, path, body=None, token=True):
        headers = {"Content-Type": "application/json"}
        if token:
            headers["Authorization"] = f"Bearer {self.token}"
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.url + path, data=data, method=method, headers=headers)
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, dict(r.headers), r.read()
        except urllib.error.HTTPError as e:
            return e.code, dict(e.headers), e.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Proxy:
    """A TCP relay between the browser and the gateway that can cut every
    connection and refuse new ones for a while: a dropped network."""

    def __init__(self, port):
        self.target = ("127.0.0.1", port)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.open = []
        self.up = True
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                if not self.up:
                    client.close()
                    continue
                server = socket.create_connection(self.target)
                self.open += [client, server]
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self.pump, args=(a, b), daemon=True).start()

    @staticmethod
    def pump(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        with self.lock:
            self.up = False
            for s in self.open:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()
            self.open = []

    def restore(self):
        with self.lock:
            self.up = True

    def close(self):
        self.cut()
        self.listener.close()


class Console:
    """The browser and the steps a person takes in the console."""

    def __init__(self, base, out):
        self.base = base
        self.out = out
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1280,900", "--hide-scrollbars", "--force-device-scale-factor=1",
                    "--lang=en-GB", "--no-first-run", "--disable-extensions"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_page_load_timeout(30)
        self.width = 1280

    def quit(self):
        self.driver.quit()

    def wait(self, what, condition, timeout=20):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.1,
                                 ignored_exceptions=[StaleElementReferenceException, Failure]).until(lambda d: condition())
        except TimeoutException:
            self.shot("failure")
            raise Failure(f"timed out waiting for {what}")

    def click(self, what, find):
        """Clicks what `find` returns, finding it again if the page redrew it."""
        def attempt():
            find().click()
            return True
        self.wait(what, attempt)

    def visible(self, css):
        return [e for e in self.driver.find_elements(By.CSS_SELECTOR, css) if e.is_displayed()]

    def by_label(self, label, scope=None):
        """The control whose visible <label> reads `label`."""
        root = scope or self.driver
        for lab in root.find_elements(By.TAG_NAME, "label"):
            if lab.is_displayed() and lab.text.strip() == label:
                return self.driver.find_element(By.ID, lab.get_attribute("for"))
        raise Failure(f"no visible control labelled {label!r}")

    def button(self, name, scope=None):
        root = scope or self.driver
        for b in root.find_elements(By.XPATH, ".//button | .//a"):
            if b.is_displayed() and (b.text.strip() == name or b.get_attribute("aria-label") == name):
                return b
        raise Failure(f"no visible button or link named {name!r}")

    def go(self, view):
        self.button(view, self.driver.find_element(By.ID, "nav")).click()
        self.wait(f"the {view} view", lambda: self.driver.find_element(By.CSS_SELECTOR, "#view h1").text == view
                  or view == "Conversations")

    def set_width(self, width, height=None):
        self.width = width
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height or (900 if width > 400 else 780), "deviceScaleFactor": 1,
            "mobile": width < 400})

    def shot(self, name):
        path = os.path.join(self.out, f"{name}-{self.width}.png")
        self.driver.save_screenshot(path)
        return path

    def no_horizontal_scroll(self, what):
        sizes = self.driver.execute_script(
            "return [document.documentElement.scrollWidth, window.innerWidth]")
        check(sizes[0] <= sizes[1], f"{what} at {self.width} px scrolls sideways: {sizes[0]} > {sizes[1]}")

    def severe_logs(self):
        return [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]

    def cost(self):
        return " ".join(e.text for e in self.visible(".cost"))


def test_headers(gw):
    for path in ("/", "/console/app.js", "/console/console.css", "/console/session"):
        status, headers, body = gw.request("GET", path, token=False)
        check(status == 200, f"GET {path} without a token: {status}")
        csp = headers.get("Content-Security-Policy", "")
        check("unsafe-inline" not in csp and "script-src 'self'" in csp and "style-src 'self'" in csp,
              f"{path}: Content-Security-Policy {csp!r}")
        check("frame-ancestors 'none'" in csp, f"{path}: no frame-ancestors 'none' in {csp!r}")
        check(headers.get("X-Content-Type-Options") == "nosniff", f"{path}: no nosniff")
        check(headers.get("Referrer-Policy") == "no-referrer", f"{path}: no Referrer-Policy no-referrer")
        if path == "/":
            page = body.decode()
            check(re.search(r'<html lang="en">', page), "the page states no language")
            check('<meta name="viewport" content="width=device-width, initial-scale=1">' in page, "no viewport meta")
            check("<script>" not in page and "style=" not in page, "inline script or style in the page")
            check("http://" not in page and "https://" not in page, "the page refers to another site")
    status, _, _ = gw.request("GET", "/v1/messages", token=False)
    check(status == 401, f"the API without token or session answered {status}")


def test_sign_in(c, gw):
    d = c.driver
    d.get(c.base + "/")
    token = c.wait("the sign-in form", lambda: c.by_label("API token"))
    c.shot("signin")
    token.send_keys("not-the-token")
    c.button("Sign in").click()
    c.wait("the wrong token refused", lambda: "Wrong token" in d.find_element(By.ID, "signin-error").text)
    check(not c.visible("#nav"), "navigation shown after a wrong token")
    c.by_label("API token").send_keys(gw.token + Keys.ENTER)  # the keyboard submits the form
    c.wait("the navigation", lambda: c.visible("#nav a"))
    names = [a.text for a in c.visible("#nav a")]
    check(names == ["Conversations", "Compose", "Outbox", "Modems", "Search"], f"navigation {names}")
    cookies = {k["name"]: k for k in d.get_cookies()}
    session = cookies.get("velasms_session")
    check(session and session["httpOnly"] and session.get("sameSite") == "Strict", f"session cookie {session}")
    check(gw.token not in json.dumps(d.get_cookies()), "the token is in a cookie")
    stored = d.execute_script("return JSON.stringify(Object.assign({}, localStorage, sessionStorage))")
    check(gw.token not in stored, "the token is in the browser's storage")
    c.wait("the live indicator", lambda: d.find_element(By.ID, "live").text == "Live")


def test_incoming_live(c, m1):
    d = c.driver
    d.execute_script("window.stillTheSamePage = true")
    m1.deliver("+4915112345", "Hello from the field, are you there?")
    c.wait("the new thread", lambda: any("+4915112345" in e.text for e in c.visible(".thread-link")))
    thread = lambda: next(e for e in c.visible(".thread-link") if "+4915112345" in e.text)
    c.wait("the thread marked unread", lambda: "unread" in thread().get_attribute("class")
           and thread().find_elements(By.CSS_SELECTOR, ".unread-dot"))
    c.click("the thread", thread)
    c.wait("the message in its thread",
           lambda: any("Hello from the field" in e.text for e in c.visible(".bubble.received")))
    m1.deliver("+4915112345", "Second line while the thread is open")
    c.wait("a second message without reload",
           lambda: any("Second line" in e.text for e in c.visible(".bubble.received")))
    check(d.execute_script("return window.stillTheSamePage === true"), "the page was reloaded")


def test_resume(c, m1, proxy):
    """A message that arrives while the connection is down appears once it is back."""
    d = c.driver
    live = lambda: d.find_element(By.ID, "live").text
    proxy.cut()
    c.wait("the dropped stream noticed", lambda: live() != "Live", timeout=15)
    m1.deliver("+4915177777", "Arrived while the console was cut off")
    time.sleep(1.5)
    check(not any("+4915177777" in e.text for e in c.visible(".thread-link")), "a message came through the cut")
    proxy.restore()
    c.wait("the stream back", lambda: live() == "Live", timeout=30)
    c.go("Conversations")
    c.wait("the message of the gap", lambda: any("+4915177777" in e.text for e in c.visible(".thread-link")))


def test_compose_cost(c):
    c.go("Compose")
    text = c.by_label("Text")
    text.send_keys("a" * 160)
    c.wait("1 part for 160 GSM characters", lambda: "1 part" in c.cost() and "0 characters left" in c.cost())
    text.send_keys("a")
    c.wait("2 parts for 161", lambda: "2 parts" in c.cost() and "145 characters left" in c.cost())
    text.clear()
    text.send_keys("It\u2019s here")
    c.wait("UCS2 and the curly apostrophe",
           lambda: "UCS2" in c.cost() and "\u2019 (U+2019)" in c.cost() and "replace with '" in c.cost())
    c.shot("compose")
    text.send_keys(" " + "b" * 61)  # 70 UCS2 units fit one part, 71 do not
    c.wait("the part count the character costs",
           lambda: "\u2019 (U+2019) makes this 2 parts instead of 1: replace with '" in c.cost())
    c.button("Replace (1 part, GSM 7-bit)").click()
    c.wait("the text back in GSM 7-bit", lambda: "GSM 7-bit" in c.cost() and "1 part" in c.cost())
    check(text.get_attribute("value").startswith("It's here"), "the replacement was not made")
    text.clear()
    text.send_keys("A\u011fa\u00e7")
    c.wait("UCS2 without national tables", lambda: "UCS2" in c.cost() and "U+011F" in c.cost())
    c.driver.find_element(By.CSS_SELECTOR, ".options summary").click()
    c.by_label("National language tables").send_keys("tr")
    c.wait("7-bit with the Turkish tables", lambda: "GSM 7-bit" in c.cost() and "Turkish (tr)" in c.cost())
    c.by_label("National language tables").clear()
    text.clear()


def send_from_console(c, to, text, modem=None, report=True):
    c.go("Compose")
    c.by_label("To").send_keys(to)
    c.by_label("Text").send_keys(text)
    c.driver.find_element(By.CSS_SELECTOR, ".options summary").click()
    box = c.by_label("Ask for a delivery report")
    if box.is_selected() != report:
        box.click()
    if modem:
        Select(c.by_label("Modem")).select_by_value(modem)
    c.button("Send").click()


def test_send_delivered(c):
    send_from_console(c, "+4915112345", "Console says hello: yes, we are here.", modem="m1")
    c.wait("the thread of the message sent",
           lambda: any("Console says hello" in e.text for e in c.visible(".bubble.sent")))
    c.wait("its status turning delivered live",
           lambda: any("Console says hello" in e.text and "delivered" in e.text and "#" in e.text
                       for e in c.visible(".bubble.sent")), timeout=30)
    c.set_width(1100, 560)  # the README's picture
    c.driver.execute_script("document.getElementById('toast').className = 'toast'")
    time.sleep(0.3)
    c.shot("thread")
    c.set_width(1280)


def test_xss(c, m1):
    d = c.driver
    c.severe_logs()  # read what came before
    m1.deliver("+4915199999", XSS)
    c.go("Conversations")
    c.wait("the hostile message's thread", lambda: any("+4915199999" in e.text for e in c.visible(".thread-link")))
    c.click("the thread", lambda: next(e for e in c.visible(".thread-link") if "+4915199999" in e.text))
    c.wait("the text shown literally", lambda: any(e.text == XSS for e in c.visible(".bubble.received .bubble-text")))
    time.sleep(0.5)  # an image error or a script would have run by now
    try:
        alert = d.switch_to.alert
        raise Failure(f"a dialog opened: {alert.text}")
    except NoAlertPresentException:
        pass
    check(not d.find_elements(By.CSS_SELECTOR, "#view img, #view script"), "the message became markup")
    severe = c.severe_logs()
    check(not severe, f"console errors: {severe}")
    c.shot("conversations")


def row(c, text):
    for r in c.visible("table.outbox tbody tr"):
        if text in r.text:
            return r
    return None


def queue_for_retry(gw):
    """A message m2 refuses twice, 30 s apart: failed by the time the outbox is tested."""
    status, _, body = gw.request("POST", "/v1/messages", {"to": "+15550002222", "text": "Retry me", "modem": "m2"})
    check(status == 202, f"queueing through the API: {status} {body}")


def test_cancel_retry(c, gw):
    # Waits in the queue for 30 s after m2's refusal.
    send_from_console(c, "+15550001111", "Cancel me", modem="m2", report=False)
    c.wait("the message sent to the thread", lambda: c.visible(".bubble.sent"))
    c.go("Outbox")
    c.wait("the refused message back in the queue with the modem's error",
           lambda: row(c, "Cancel me") and "queued" in row(c, "Cancel me").text
           and "congestion" in row(c, "Cancel me").text)
    c.shot("outbox")
    c.click("Cancel", lambda: c.button("Cancel", row(c, "Cancel me")))
    c.wait("cancelled", lambda: "cancelled" in row(c, "Cancel me").text)
    c.wait("the other message failed after its attempts",
           lambda: row(c, "Retry me") and "failed" in row(c, "Retry me").text, timeout=60)
    c.click("Retry", lambda: c.button("Retry", row(c, "Retry me")))
    c.wait("queued again", lambda: re.search(r"queued|sending", row(c, "Retry me").text))


def test_search(c):
    c.go("Search")
    box = c.by_label("Number or words")
    box.send_keys("FIELD" + Keys.ENTER)
    c.wait("a case-insensitive word match", lambda: any("Hello from the field" in e.text for e in c.visible(".result")))
    check(not any("Console says hello" in e.text for e in c.visible(".result")), "unrelated messages found")
    c.shot("search")
    box.clear()
    box.send_keys("+49 151 77777" + Keys.ENTER)
    c.wait("a match by number", lambda: any("cut off" in e.text for e in c.visible(".result"))
           and not any("Hello from the field" in e.text for e in c.visible(".result")))


def test_modems(c):
    c.go("Modems")
    c.wait("both modems up", lambda: len([e for e in c.visible(".modem") if " up" in e.text or "\nup" in e.text]) == 2)
    for card in c.visible(".modem"):
        check(re.search(r"-?\d+ dBm", card.text), f"no signal in dBm: {card.text}")
        check(card.find_elements(By.CSS_SELECTOR, ".bars[aria-label]"), "no signal bars")
        check("Queue" in card.text and "Operator" in card.text, f"modem card lacks facts: {card.text}")
    c.shot("modems")


def test_keyboard(c):
    """Search and open a conversation from the keyboard alone."""
    d = c.driver
    c.go("Modems")
    d.execute_script("document.activeElement.blur()")

    def tab_to(what, predicate):
        for _ in range(40):
            d.switch_to.active_element.send_keys(Keys.TAB)
            if predicate(d.switch_to.active_element):
                return d.switch_to.active_element
        raise Failure(f"Tab never reached {what}")

    tab_to("the Search link", lambda e: e.text == "Search" and e.tag_name == "a").send_keys(Keys.ENTER)
    box = tab_to("the search box", lambda e: e.get_attribute("id") == "search-q")
    box.send_keys("field" + Keys.ENTER)
    c.wait("results", lambda: c.visible(".result"))
    tab_to("the result's number", lambda e: e.text == "+4915112345").send_keys(Keys.ENTER)
    c.wait("the conversation", lambda: any("Hello from the field" in e.text for e in c.visible(".bubble")))
    reply = tab_to("the reply box", lambda e: e.tag_name == "textarea")
    check(c.by_label("Reply") == reply, "the reply box is not the control labelled Reply")


def test_narrow(c):
    c.set_width(360)
    views = ["Conversations", "Compose", "Outbox", "Modems", "Search"]
    for view in views:
        c.go(view)
        if view == "Search":
            c.by_label("Number or words").send_keys("field" + Keys.ENTER)
            c.wait("results", lambda: c.visible(".result"))
        time.sleep(0.3)
        c.no_horizontal_scroll(view)
        c.shot(view.lower())
    c.go("Conversations")
    c.click("the thread", lambda: next(e for e in c.visible(".thread-link") if "+4915199999" in e.text))
    c.wait("the thread alone on a phone", lambda: c.visible(".bubble") and not c.visible(".thread-pane"))
    c.no_horizontal_scroll("a thread")
    c.shot("thread")
    c.set_width(1280)  # the wide shots were taken by the steps before
    for view in views:
        c.go(view)
        c.no_horizontal_scroll(view)


def test_sign_out(c, gw):
    c.button("Sign out").click()
    c.wait("the sign-in form again", lambda: c.visible("#signin-form"))
    c.driver.refresh()
    c.wait("still signed out after a reload", lambda: c.visible("#signin-form"))
    # Five wrong tokens within a minute (the one at sign-in may count): then
    # even the right one is refused for a minute.
    error = lambda: c.driver.find_element(By.ID, "signin-error").text
    refused = 0
    for i in range(5):
        c.by_label("API token").send_keys(f"guess-{i}" + Keys.ENTER)
        c.wait(f"wrong token {i + 1} refused", lambda: error() == "Wrong token." or "Too many" in error())
        if "Too many" in error():
            break
        refused += 1
        c.driver.execute_script("document.getElementById('signin-error').textContent = ''")
    check(refused >= 4, f"blocked after {refused} wrong tokens")
    c.by_label("API token").send_keys(c.token + Keys.ENTER)
    c.wait("the address blocked", lambda: "Too many wrong tokens" in error() and "try again in" in error())
    check(not c.visible("#nav"), "signed in while blocked")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--velasms", required=True)
    parser.add_argument("--out", required=True, help="folder for the screenshots")
    args = parser.parse_args()
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(p)]
    if webdriver is None or missing:
        print(f"skipped: needs chromium, chromium-driver and python3-selenium (missing: "
              f"{missing or 'selenium'})")
        return 77
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="vela-console-")
    sims, gw, console, proxy = [], None, None, None
    try:
        sims.append(Sim(args.velasms, f"{work}/m1", ["--report-delay-ms", "300"]))
        sims.append(Sim(args.velasms, f"{work}/m2", ["--profile", "cms-error", "42", "--signal", "9"]))
        gw = Gateway(args.velasms, work, "c0nsole-t0ken")
        test_headers(gw)
        queue_for_retry(gw)
        proxy = Proxy(int(gw.url.rsplit(":", 1)[1]))
        console = Console(f"http://127.0.0.1:{proxy.port}", args.out)
        console.token = gw.token
        steps = [("sign in", lambda: test_sign_in(console, gw)),
                 ("incoming live", lambda: test_incoming_live(console, sims[0])),
                 ("dropped connection", lambda: test_resume(console, sims[0], proxy)),
                 ("compose cost", lambda: test_compose_cost(console)),
                 ("send, delivered live", lambda: test_send_delivered(console)),
                 ("hostile text", lambda: test_xss(console, sims[0])),
                 ("cancel and retry", lambda: test_cancel_retry(console, gw)),
                 ("search", lambda: test_search(console)),
                 ("modems", lambda: test_modems(console)),
                 ("keyboard", lambda: test_keyboard(console)),
                 ("360 px", lambda: test_narrow(console)),
                 ("sign out", lambda: test_sign_out(console, gw))]
        for name, step in steps:
            started = time.monotonic()
            step()
            print(f"ok   {name} ({time.monotonic() - started:.1f} s)", flush=True)
        print(f"screenshots in {args.out}")
        return 0
    except Failure as e:
        print(f"FAIL {e}")
        if gw:
            with open(gw.log_path) as f:
                print("gateway log:\n" + f.read()[-4000:])
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    finally:
        if console:
            console.quit()
        if proxy:
            proxy.close()
        if gw:
            gw.stop()
        for s in sims:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())

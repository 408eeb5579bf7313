#!/usr/bin/python3
"""The web console in headless Chromium, against a real `quillet serve`.

Creates a call through the form, applies options 5, 7 and 6 through the
buttons, shows a raised error with its number, registers an item, checks
that back-end text is shown as text, fails on any script error in the page,
and takes screenshots of the list and of one call at a desktop and a phone
width. Then, as a page of another origin: a cross-site form and fetches
create no call, a rebinding host name reads nothing, and the console cannot
be framed. Usage: console_test.py QUILLET_BINARY SCREENSHOT_DIR
"""
import http.server
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as expect
from selenium.webdriver.support.ui import WebDriverWait

quillet, shots = sys.argv[1], sys.argv[2]
os.makedirs(shots, exist_ok=True)
scratch = tempfile.mkdtemp(prefix="quillet-console-")
errors = open(os.path.join(scratch, "serve.err"), "w+")
server = subprocess.Popen(
    [quillet, "serve", "--listen", "127.0.0.1:0", "--db",
     os.path.join(scratch, "q.db")], stderr=errors)
driver = None
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


try:
    port = None
    for _ in range(100):
        errors.seek(0)
        match = re.search(r"listening on 127\.0\.0\.1:(\d+)", errors.read())
        if match:
            port = match.group(1)
            break
        time.sleep(0.1)
    assert port, "the server did not start"
    base = "http://127.0.0.1:%s/" % port

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1280,900",
                     # rebind.test: a name an attacker pointed at loopback
                     "--host-resolver-rules=MAP rebind.test 127.0.0.1"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(
        service=Service("/usr/bin/chromedriver"),
        options=options)
    wait = WebDriverWait(driver, 30)

    def text_of(selector):
        return driver.find_element(By.CSS_SELECTOR, selector).text

    def wait_text(selector, text):
        wait.until(expect.text_to_be_present_in_element(
            (By.CSS_SELECTOR, selector), text))

    def fill(values):
        for name, value in values.items():
            field = driver.find_element(By.NAME, name)
            field.clear()
            field.send_keys(value)

    # A new call through the form; its description holds markup.
    driver.get(base + "#/new")
    wait.until(expect.presence_of_element_located((By.ID, "new-call")))
    fill({"SOLDTOBP": "BP-1", "CALLDESC": "<script>alert(1)</script> jam",
          "Q_TEXT": "first text"})
    driver.find_element(By.CSS_SELECTOR, "#new-call button[type=submit]").click()
    wait_text("#new-call-outcome", "HTTP 201")
    number = re.search(r"SC\d+", text_of("#new-call-outcome")).group(0)
    driver.find_element(By.ID, "new-call-link").click()
    wait_text("h2", number)
    check(text_of("dd[data-property=CallDescription]") ==
          "<script>alert(1)</script> jam", "markup is shown as text")

    def apply(option, values, expected):
        driver.find_element(By.ID, "option-%d" % option).click()
        wait.until(expect.presence_of_element_located((By.ID, "option-form")))
        fill(values)
        driver.find_element(By.CSS_SELECTOR,
                            "#option-form button[type=submit]").click()
        wait_text("#option-panel .outcome", expected)
        return text_of("#option-panel .outcome")

    apply(5, {"WAITINGDESC": "parts ordered"}, "HTTP 200")
    driver.find_element(By.ID, "reload").click()
    wait_text("dd[data-property=Status]", "15 In progress")
    apply(7, {"Q_TEXT": "appended"}, "HTTP 200")
    driver.find_element(By.ID, "reload").click()
    wait_text("#call-text", "appended")
    check("first text" in text_of("#call-text"), "the call text was kept")
    apply(6, {"SOLUTIONTEXT": "roller replaced"}, "HTTP 200")
    driver.find_element(By.ID, "reload").click()
    wait_text("dd[data-property=Status]", "30 Completed")
    check(text_of("dd[data-property=ServiceOrder]") == "SO000001",
          "the completed call has a service order")
    for width, height, name in ((1280, 900, "desktop"), (390, 844, "phone")):
        driver.set_window_size(width, height)
        driver.save_screenshot(os.path.join(shots, "console-call-%s.png" % name))
    driver.set_window_size(1280, 900)
    raised = apply(2, {"TIMESPENT": "99999999999"}, "HTTP 422")
    check("Error 6: " in raised, "a raised error is shown with its number")

    # The list shows the call with its status and service order.
    driver.get(base + "#/calls")
    wait_text("#calls", number)
    check("30 Completed" in text_of("#calls"), "the list shows the status")
    check("SO000001" in text_of("#calls"), "the list shows the service order")
    for width, height, name in ((1280, 900, "desktop"), (390, 844, "phone")):
        driver.set_window_size(width, height)
        driver.save_screenshot(os.path.join(shots, "console-calls-%s.png" % name))
    driver.set_window_size(1280, 900)

    # An item from a pasted two-column table.
    driver.get(base + "#/items")
    wait.until(expect.presence_of_element_located((By.ID, "i-table")))
    driver.find_element(By.ID, "i-table").send_keys(
        "SERIALNUMBER,SN-1\nITEM,PRN-4410")
    driver.find_element(By.ID, "item-create").click()
    wait_text("#item-outcome", "HTTP 201")
    driver.get(base + "#/log")
    driver.get(base + "#/items")
    wait_text("#items", "SN-1")

    # No script errors on the console's pages (answers with an error status
    # are expected above).
    for entry in driver.get_log("browser"):
        if entry["level"] == "SEVERE" and entry.get("source") != "network":
            check(False, "console error: " + entry["message"])
    # A page of another origin (another port) tries to write, read and
    # frame; the console's own calls are counted before and after.
    def stored_calls():
        with urllib.request.urlopen(base + "calls") as answer:
            return len(json.load(answer))

    before = stored_calls()
    attack_dir = tempfile.mkdtemp(prefix="quillet-attack-")
    target = base + "calls"
    with open(os.path.join(attack_dir, "attack.html"), "w") as page:
        page.write("""<!doctype html><title>attack</title>
<form id=form method=POST enctype="text/plain" action="%(target)s"
      target=sink><input name='{"SOLDTOBP":"BP-1","CALLDESC":"form","x":"'
      value='"}'></form>
<iframe name=sink></iframe>
<iframe id=framed src="%(base)s"></iframe>
<script>
const body = '{"SOLDTOBP":"BP-1","CALLDESC":"fetch"}';
Promise.allSettled([
  fetch("%(target)s", {method: "POST", mode: "no-cors", body}),
  fetch("%(target)s", {method: "POST", mode: "no-cors", body,
                       headers: {"Content-Type": "application/json"}}),
  fetch("%(target)s", {method: "POST", body,
                       headers: {"Content-Type": "application/json"}}),
]).then(() => { document.title = "done"; });
document.getElementById("form").submit();
</script>""" % {"target": target, "base": base})

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=attack_dir, **kwargs)

        def log_message(self, *args):
            pass

    attacker = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
    threading.Thread(target=attacker.serve_forever, daemon=True).start()
    try:
        driver.get("http://127.0.0.1:%d/attack.html" % attacker.server_port)
        WebDriverWait(driver, 10).until(lambda d: d.title == "done")
        time.sleep(1)  # the form's post, in its frame
        check(stored_calls() == before, "another origin created no call")
        driver.switch_to.frame(driver.find_element(By.ID, "framed"))
        check(not driver.find_elements(By.ID, "view"),
              "the console cannot be framed by another origin")
        driver.switch_to.default_content()
        driver.get("http://rebind.test:%s/calls" % port)
        body = driver.find_element(By.TAG_NAME, "body").text
        check("SC0" not in body and "does not answer" in body,
              "a rebinding host name reads nothing")
    finally:
        attacker.shutdown()
finally:
    if driver:
        driver.quit()
    server.terminate()
    check(server.wait(timeout=20) == 0, "the server stopped cleanly")

if failures:
    sys.exit(1)
print("1 passed, 0 failed")

#!/usr/bin/python3
"""The web console in headless Chromium, against a real `quillet serve`
that requires a token.

A service-desk scenario end to end (sign in, find a customer's call in the
queue by text and read its history, add a solution and complete it after
the confirmation, create a call, register an item and find it, read the
log), counting the agent's clicks (at most 12) and keystrokes. Then the
dashboard, the shortcuts, a bulk status change, a printed call, the
loading sign and the trips agents reported. Then the faults that lose work: a double
click, answers dropped on the way back and a page from a plain-HTTP host
name (not a secure context) each store exactly one call. Then paging and the
back button, a 401 bringing the sign-in back, back-end text that stays text
with its direction isolated, axe-core on every view at a desktop and a phone
width with no violation and nothing wider than the phone, and no script
error or CSP violation. Screenshots of every view at both widths.
Last, as a page of another origin against a service without tokens: a
cross-site form and fetches create no call, a rebinding host name reads
nothing, and the console cannot be framed.
Usage: console_test.py QUILLET_BINARY SCREENSHOT_DIR
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
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as expect
from selenium.webdriver.support.ui import WebDriverWait

here = os.path.dirname(os.path.abspath(__file__))
quillet, shots = sys.argv[1], sys.argv[2]
os.makedirs(shots, exist_ok=True)
scratch = tempfile.mkdtemp(prefix="quillet-console-")
db = os.path.join(scratch, "q.db")
TOKEN = "desk-token-7"
HOST = "desk.test"  # a plain-HTTP host name: not a secure context
RTL = "invoice \u202egpj.exe\u202c done"
with open(os.path.join(scratch, "token"), "w") as f:
    f.write(TOKEN + "\n")


def run(*args, **kwargs):
    return subprocess.run([quillet, "--db", db] + list(args), check=True,
                          capture_output=True, **kwargs)


# Master data, 30 calls of other customers (with unknown partners, so the
# log fills), the customer's call, and 30 items.
root = os.path.dirname(os.path.dirname(here))
run("backend", "load", os.path.join(root, "examples", "data", "master.json"))
lines = [{"op": "create-call", "details": {
    "SOLDTOBP": "BP-1001", "BPNUMBER": "BP-X%02d" % n,
    "CALLDESC": "Paper jam %d\nsecond line" % n, "Q_TEXT": "x"}}
    for n in range(30)]
lines.append({"op": "create-call", "details": {
    "SOLDTOBP": "BP-1002", "CALLDESC": "Toner smears on every page",
    "OBJECT": "PRN-4410", "Q_TEXT": "Customer calls about smears"}})
lines.append({"op": "create-call", "details": {  # as the README makes one
    "SOLDTOBP": "BP-1001", "Q_TEXT": "Tray 2 jams"}})
lines.append({"op": "create-call", "details": {
    "SOLDTOBP": "BP-1001", "CALLDESC": RTL, "ENGINEER": RTL,
    "Q_TEXT": "<img src=x onerror=alert(1)>"}})
LONG = "W" * 400  # one word wider than any screen
lines.append({"op": "create-call", "details": {
    "SOLDTOBP": "BP-1001", "CALLDESC": LONG, "ENGINEER": LONG,
    "CALLERNAME": LONG, "Q_TEXT": LONG}})
lines.append({"op": "create-item", "component": "Items",
              "values": [["SERIALNUMBER", "SN-" + LONG], ["ITEM", LONG],
                         ["NOTE", LONG]], "error": ""})
lines += [{"op": "create-item", "component": "Items",
           "values": [["SERIALNUMBER", "SN-%03d" % n], ["ITEM", "PRN-4410"]],
           "error": ""} for n in range(30)]
with open(os.path.join(scratch, "seed.jsonl"), "w") as f:
    f.write("\n".join(json.dumps(line) for line in lines) + "\n")
run("batch", os.path.join(scratch, "seed.jsonl"))

errors = open(os.path.join(scratch, "serve.err"), "w+")
serve = [quillet, "serve", "--listen", "127.0.0.1:0", "--db", db,
         "--token-file", os.path.join(scratch, "token")]
if "--allow-host" in subprocess.run([quillet, "serve", "--help"],
                                    capture_output=True, text=True).stdout:
    serve += ["--allow-host", HOST]
server = subprocess.Popen(serve, stderr=errors)
driver = None
failures = []
counts = {"clicks": 0, "keys": 0}


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def api(path):
    request = urllib.request.Request(
        base + path, headers={"Authorization": "Bearer " + TOKEN})
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.load(answer)


def calls_described(text):
    """The stored calls whose description holds `text`."""
    return [c["CallNumber"] for c in
            api("calls?text=" + urllib.parse.quote(text))]


def wait_for_port(errors_path):
    """The port a service listens on, from its standard error's file."""
    found = subprocess.run(
        [os.path.join(here, "..", "support", "wait_for_port.sh"), errors_path],
        capture_output=True, text=True)
    assert found.returncode == 0, "the server did not start: " + found.stderr
    return found.stdout.strip()


try:
    port = wait_for_port(errors.name)
    base = "http://127.0.0.1:%s/" % port
    with urllib.request.urlopen(base + "favicon.svg", timeout=10) as answer:
        check(answer.headers["Content-Type"] == "image/svg+xml",
              "the favicon is served")

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--disable-sync",
                     "--disable-background-networking", "--no-first-run",
                     "--disable-component-update", "--window-size=1280,900",
                     # rebind.test: a name an attacker pointed at loopback
                     "--host-resolver-rules=MAP %s 127.0.0.1, MAP rebind.test "
                     "127.0.0.1" % HOST):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"),
                              options=options)
    wait = WebDriverWait(driver, 20)
    with open(os.path.join(here, "node_modules", "axe-core", "axe.min.js")) as f:
        axe_source = f.read()

    def find(selector):
        return driver.find_element(By.CSS_SELECTOR, selector)

    def text_of(selector):
        return find(selector).text

    def wait_text(selector, text):
        try:
            wait.until(expect.text_to_be_present_in_element(
                (By.CSS_SELECTOR, selector), text))
        except TimeoutException:
            raise AssertionError("no '%s' in %s; the page shows: %s; log: %s" % (
                text, selector, driver.find_element(By.TAG_NAME, "body").text,
                driver.get_log("browser")))

    def click(selector):
        counts["clicks"] += 1
        wait.until(expect.element_to_be_clickable(
            (By.CSS_SELECTOR, selector))).click()

    def type_in(selector, text, enter=False):
        element = wait.until(expect.presence_of_element_located(
            (By.CSS_SELECTOR, selector)))
        element.send_keys(text + (Keys.ENTER if enter else ""))
        counts["keys"] += len(text) + (1 if enter else 0)

    def heading(text):
        wait_text("#view-title", text)

    def views_check(name):
        """axe-core, no sideways scrolling, a screenshot: both widths."""
        for width, height, form in ((1280, 900, "desktop"), (390, 844, "phone"),
                                    (640, 450, "zoom")):  # 1280 at 200%
            driver.set_window_size(width, height)
            time.sleep(0.2)
            driver.execute_script(axe_source)
            result = driver.execute_async_script(
                "const done = arguments[arguments.length - 1];"
                "axe.run(document, {resultTypes: ['violations']})"
                ".then(r => done(r.violations.map(v => v.id + ': ' +"
                " v.nodes.map(n => n.target.join(' ')).slice(0, 3).join(', '))))"
                ".catch(e => done(['axe failed: ' + e]));")
            check(result == [], "axe on %s at %s: %s" % (name, form, result))
            overflow = driver.execute_script(
                "return document.documentElement.scrollWidth - innerWidth")
            check(overflow <= 0, "%s at %s is %dpx too wide" %
                  (name, form, overflow))
            if form != "zoom":
                driver.save_screenshot(
                    os.path.join(shots, "console-%s-%s.png" % (name, form)))
        driver.set_window_size(1280, 900)

    # The service needs a token: the console asks for it.
    driver.get(base)
    heading("Sign in")
    check(driver.execute_script(
        "return document.activeElement.id") == "token", "the token has focus")
    views_check("signin")

    check(not driver.find_elements(By.CSS_SELECTOR, "main .outcome"),
          "the sign-in page opens without an alert")

    def press(key):
        """A shortcut typed on the page, not into a field."""
        counts["keys"] += 1
        ActionChains(driver).send_keys(key).perform()

    # --- The desk scenario: every click and keystroke of the agent counts.
    # Sign in, find a customer's newest open call, read its history, add a
    # solution and complete it, create a call, register and find an item,
    # read the log.
    type_in("#token", TOKEN, enter=True)
    heading("Calls")
    type_in("#f-q", "Toner", enter=True)
    wait_text("#calls", "Toner smears")
    check("Fenwick & Daughters" in text_of("#calls"),
          "the queue names the customer")
    check(len(driver.find_elements(By.CSS_SELECTOR, "#calls tr")) == 1,
          "the search finds the one call")
    number = re.search(r"SC\d+", text_of("#calls")).group(0)
    click("#calls a")
    heading(number)
    wait.until(lambda d: "Loading" not in text_of("#history"))  # read
    check(find("#option-3").get_attribute("disabled") is not None and
          "not waiting" in text_of(".reasons"),
          "End waiting is offered only to a waiting call, with the reason")
    check("Fenwick & Daughters" in
          text_of("dd[data-property=SoldToBusinessPartner]"),
          "the partner's name is beside its number")
    click("#option-6")
    type_in("#o-SOLUTIONTEXT", "Cartridge replaced")
    click("#option-form button[type=submit]")
    wait.until(expect.presence_of_element_located((By.ID, "confirm-yes")))
    check(api("calls/" + number).get("Status", 0) == 0,
          "nothing is completed before the confirmation")
    click("#confirm-yes")
    wait_text("dd[data-property=Status]", "30 Completed")
    wait_text("#solution-text", "Cartridge replaced")
    check(text_of("dd[data-property=ServiceOrder]").startswith("SO"),
          "the completed call has a service order")
    check(all(b.get_attribute("disabled") is not None for b in
              driver.find_elements(By.CSS_SELECTOR, ".options button")),
          "no option is offered for a completed call")
    wait_text("#history", "History")
    # The event log in words: what changed, by whom, through what, when.
    wait_text("#history", "0 New \u2192 30 Completed")
    told = text_of("#history")
    check("by the token" in told and "through the service" in told and
          "Solution text added" in told and
          re.search(r"ago|now", text_of("#history time")) is not None,
          "the history says who, through what and when, in words")
    check(driver.execute_script(
        "return document.activeElement.tagName") == "H2" and
        driver.execute_script(
            "return getComputedStyle(document.activeElement).outlineStyle")
        == "none", "after navigation the heading has focus, unframed")
    views_check("call")
    press("n")
    heading("New call")
    type_in("#n-SOLDTOBP", "BP-1002")
    wait_text("#n-SOLDTOBP ~ .picked", "Fenwick")
    type_in("#n-CALLDESC", "Scanner feeds two sheets", enter=True)
    wait_text("#new-call-outcome", "created")
    check(all(p.text == "" for p in driver.find_elements(By.CSS_SELECTOR, ".picked")),
          "no partner or contract hint is left after a create")
    click("nav.sections a[href='#/items']")
    heading("Serialized items")
    type_in("#i-serial", "SN-Z1")
    type_in("#i-item", "SCN-0082", enter=True)
    wait_text("#item-outcome", "Item registered")
    type_in("#i-search", "z1", enter=True)
    wait_text("#items", "SN-Z1")
    check(len(driver.find_elements(By.CSS_SELECTOR, "#items tr")) == 1,
          "the item search finds the one item")
    click("nav.sections a[href='#/log']")
    heading("Log")
    wait_text("#count", "newest first")
    scenario = dict(counts)
    print("desk scenario: %(clicks)d clicks (at most 12), %(keys)d keystrokes"
          % scenario)
    check(scenario["clicks"] <= 12, "the desk scenario takes at most 12 clicks")

    # A new call's page says its status.
    find("nav.sections a[href='#/new']").click()
    heading("New call")
    find("#n-SOLDTOBP").send_keys("BP-1001")
    find("#n-CALLDESC").send_keys("Status line" + Keys.ENTER)
    click("#new-call-link")
    wait_text("dd[data-property=Status]", "0 New")
    # Texts added, a wait set and ended, through the option forms.
    click("#option-7")
    type_in("#o-Q_TEXT", "Asked for a photo")
    click("#option-form button[type=submit]")
    wait_text("#call-text", "Asked for a photo")
    click("#option-5")
    type_in("#o-WAITINGDESC", "toner cartridge", enter=True)
    wait_text("dd[data-property=WaitingDescription]", "toner cartridge")
    check(find("#option-3").get_attribute("disabled") is None,
          "a waiting call can end waiting")
    # A call prints as a sheet: the call, without the console around it.
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print"})
    check(not find("header").is_displayed() and
          not find(".options").is_displayed() and
          find("dd[data-property=Status]").is_displayed(),
          "a printed call has no navigation or options")
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": ""})

    # Failures in words, not codes.
    driver.get(base + "#/call/SC999999")
    wait_text("main", "There is no such call")
    check("404" not in text_of("main"), "a missing call is said in words")
    driver.get(base + "#/log?number=x1")
    wait_text("main", "The error number must be a whole number")

    # --- The dashboard: counts that add up, bars that open their queues.
    stats = api("call-stats")
    stored = len(api("calls"))
    check(stats["calls"] == stored and
          sum(g["count"] for g in stats["byStatus"]) == stored and
          sum(g["count"] for g in stats["byAge"]) == stored and
          sum(g["count"] for g in stats["bySoldTo"]) + stats["otherSoldTo"]
          == stored, "the dashboard's counts add up to the %d calls: %s"
          % (stored, stats))
    driver.get(base + "#/stats")
    heading("Dashboard")
    wait_text("#stats-total", "%d calls" % stored)
    bars = driver.find_elements(By.CSS_SELECTOR, "#by-status svg a")
    check(len(bars) == len(stats["byStatus"]) and all(
        re.search(r": \d+ calls?$", b.find_element(By.TAG_NAME, "title")
                  .get_attribute("textContent")) for b in bars),
        "every status bar is a link named by its group and count")
    check("Acme" in text_of("#by-customer-numbers") or
          "Fenwick" in text_of("#by-customer-numbers"),
          "customers are named from the master data")
    views_check("stats")
    click("#by-status-numbers a[href*='status=30']")
    wait.until(lambda d: "status=30" in d.current_url)
    wait_text("#count", "of 1")

    # --- Shortcuts: none fires inside a field; j and k walk the queue.
    driver.get(base + "#/calls")
    heading("Calls")
    wait_text("#count", "of")
    ActionChains(driver).send_keys("/").perform()
    check(driver.execute_script("return document.activeElement.id") == "f-q",
          "/ goes to the queue's search")
    ActionChains(driver).send_keys("jn?").perform()
    check(find("#f-q").get_attribute("value") == "jn?" and
          "#/calls" in driver.current_url, "shortcuts stay quiet in a field")
    find("#f-q").clear()
    find("#view-title").click()
    ActionChains(driver).send_keys("jj").perform()
    second = driver.find_elements(By.CSS_SELECTOR, "#calls tr")[1]
    check(driver.execute_script("return document.activeElement.closest('tr')")
          == second, "j moves down the queue")
    ActionChains(driver).send_keys("k").perform()
    check(driver.execute_script("return document.activeElement.textContent")
          == "SC000001", "k moves up the queue")
    ActionChains(driver).send_keys("?").perform()
    wait_text("#shortcuts", "Keyboard shortcuts")
    click("#shortcuts button")

    # --- Bulk status change: each call its own change, key and result.
    driver.get(base + "#/calls?sort=changed")
    wait_text("#calls tr:first-child", "Status line")
    picks = driver.find_elements(By.CSS_SELECTOR, "#calls input.pick")[:3]
    picked = [p.get_attribute("value") for p in picks]
    for p in picks:
        p.click()
    find("#bulk-option option[value='4']").click()
    click("#bulk button[type=submit]")
    wait_text("#bulk-outcome", "of 3 changed")
    done = [api("calls/" + n).get("Status") for n in picked]
    check(text_of("#bulk-outcome").startswith("%d of 3" % done.count(25)) and
          done.count(25) == 2 and "Not changed" in text_of("#calls"),
          "a completed call is refused alone, the others solved: %s" % done)
    # The refusal is recorded beside the answer: wait for it.
    wait.until(lambda d: len({e["request_key"] for e in api("audit?tail=3")}) == 3)
    keys = [e["request_key"] for e in api("audit?tail=3")]
    check(len(set(keys)) == 3 and None not in keys,
          "each call changed under its own key: %s" % keys)

    # --- A slow link: after a moment the view says it is loading.
    driver.execute_script("""
        const real = window.fetch;
        window.fetch = async (...a) => {
          await new Promise(r => setTimeout(r, 1500));
          return real(...a); };""")
    driver.execute_script("location.hash = '#/log'")
    time.sleep(0.8)
    check(find("#loading").is_displayed() and
          find("main").get_attribute("aria-busy") == "true",
          "a slow view says it is loading")
    heading("Log")
    check(not find("#loading").is_displayed(), "the loading sign goes")
    driver.refresh()


    # --- Paging and the address: next, previous, the back button.
    driver.get(base + "#/items")
    wait_text("#count", "1–25")
    find("#next").click()
    wait_text("#count", "26–32")
    check("SN-Z1" in text_of("#items"), "the last page holds the last item")
    views_check("items")
    driver.back()
    wait_text("#count", "1–25")
    driver.get(base + "#/calls")
    heading("Calls")
    wait_text("#count", "1–25 of 36")
    find("#next").click()
    wait_text("#count", "26–36")
    check(find("#first").get_attribute("href").endswith("#/calls"),
          "a later page leads back to the first")
    find("#prev").click()
    wait_text("#count", "1–25")
    views_check("calls")
    driver.set_window_size(390, 844)
    driver.refresh()
    wait_text("#count", "1–25")
    top = driver.execute_script(
        "return document.querySelector('#calls tr').getBoundingClientRect().top")
    print("on a phone the first call is %dpx down" % top)
    check(top < 400, "on a phone the first call is in sight (%dpx down)" % top)
    driver.set_window_size(1280, 900)
    driver.refresh()
    wait_text("#count", "1–25")
    find("#f-sort option[value=changed]").click()
    find("#f-sort").submit()
    wait.until(lambda d: "sort=changed" in d.current_url)
    latest = api("calls?order=changed&limit=1")[0]["CallNumber"]
    wait_text("#calls tr:first-child", latest)

    # --- A search finds a call by its text alone; a view is a link.
    driver.get(base + "#/calls?q=tray")
    wait_text("#calls", "Tray 2 jams")
    check(len(driver.find_elements(By.CSS_SELECTOR, "#calls tr")) == 1 and
          "Tray 2 jams" in text_of("#calls .match"),
          "the search finds the call whose only text holds the word, and "
          "its row shows the text and the match")
    click("nav.views a[href='#/calls?view=open']")
    wait_text("#count", "1–25 of 35")
    check("view=open" in driver.current_url,
          "the view is in the address, to be kept")
    views_check("search")

    # --- The queue follows the change feed: a call created from the
    # command line shows within 2 s, without a reload.
    driver.get(base + "#/calls?sort=changed")
    wait_text("#count", "1\u201325")
    time.sleep(1)  # the follower has started
    run("create-call", "SOLDTOBP=BP-1001", "CALLDESC=Fuser rattles", "Q_TEXT=x")
    started = time.monotonic()
    try:
        WebDriverWait(driver, 2).until(expect.text_to_be_present_in_element(
            (By.CSS_SELECTOR, "#calls"), "Fuser rattles"))
    except TimeoutException:
        pass
    check("Fuser rattles" in text_of("#calls"),
          "a call created elsewhere appears in the open queue within 2 s")
    print("queue followed a new call in %.2f s" % (time.monotonic() - started))

    # --- Two tabs change the same call: the first to send wins; the other
    # is told as it happens, then refused (412), shown what changed, and
    # stores nothing.
    other = calls_described("Paper jam 3")[0]
    first_tab = driver.current_window_handle
    driver.get(base + "#/call/" + other)
    heading(other)
    click("#option-1")
    type_in("#o-PROBLEM", "P-LOST")
    driver.switch_to.new_window("tab")
    driver.get(base + "#/call/" + other)
    type_in("#token", TOKEN, enter=True)  # a tab keeps its own token
    heading(other)
    click("#option-5")
    type_in("#o-WAITINGDESC", "spare parts", enter=True)
    wait_text("dd[data-property=WaitingDescription]", "spare parts")
    driver.close()
    driver.switch_to.window(first_tab)
    wait_text("#changed-elsewhere", "changed by the token")
    click("#option-form button[type=submit]")
    wait_text("#changed-meanwhile", "nothing was stored")
    check("spare parts" in text_of("#differences"),
          "the refused tab is shown what changed")
    check(api("calls/" + other).get("Problem") != "P-LOST",
          "the refused change stored nothing")
    check(find("#option-3").get_attribute("disabled") is None,
          "the options are drawn again for the call as it is (waiting)")

    # --- Back-end text stays text, its direction isolated.
    driver.get(base + "#/calls?text=" + urllib.parse.quote("gpj"))
    wait_text("#calls", "invoice")
    isolated = driver.execute_script("""
        const bad = [];
        const walk = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
        for (let n = walk.nextNode(); n; n = walk.nextNode()) {
          if (!n.data.includes('\\u202e')) continue;
          const box = n.parentElement.closest('bdi, [dir=auto]');
          if (!box || box.textContent.trim() !== arguments[0]) bad.push(n.parentElement.outerHTML);
        }
        return bad;""", RTL)
    check(isolated == [], "right-to-left text isolated in the queue: %s" % isolated)
    click("#calls a")
    wait_text("#call-text", "<img src=x onerror=alert(1)>")
    check(not driver.find_elements(By.CSS_SELECTOR, "#call-text img"),
          "markup is shown as text")

    driver.get(base + "#/calls?text=WWWW")
    wait_text("#calls", "WWW")
    click("#calls a")
    heading("WWW")
    for width in (1280, 390):
        driver.set_window_size(width, 844)
        check(driver.execute_script(
            "return document.documentElement.scrollWidth - innerWidth") <= 0,
            "a long value fits the call view at %dpx" % width)
    driver.set_window_size(1280, 900)

    # --- Log: filtered and paged by the service, local times.
    driver.get(base + "#/log")
    heading("Log")
    wait_text("#count", "newest first")
    find("#next").click()
    wait_text("#count", "26–")
    find("#l-text").send_keys("'BP-X0" + Keys.ENTER)
    wait_text("#count", "1–10,")
    check(re.search(r"\d{2}:\d{2}:\d{2}.*(UTC|GMT)", text_of("#log")),
          "log times are shown with their zone")
    first = driver.find_elements(By.CSS_SELECTOR, "#log tr")[0].text
    check("Quillet.Calls.CreateCall" in first and "none" in first and
          "Additional information" in first and
          first.count("Additional information") == 1 and "caught: (0)" not in first,
          "a log row names its source, no number 0 and one heading: " + first)
    views_check("log")

    # --- A double click stores one call.
    driver.get(base + "#/new")
    heading("New call")
    views_check("new")
    # The answer is held back, so the second click lands while in flight.
    driver.execute_script("""
        const real = window.fetch;
        window.fetch = async (...a) => {
          const answer = await real(...a);
          await new Promise(r => setTimeout(r, 600));
          return answer; };""")
    # A late answer never replaces the view the agent went on to.
    driver.execute_script(
        "location.hash = '#/log'; setTimeout(() => location.hash = '#/new', 50)")
    heading("New call")
    time.sleep(1.5)
    check(text_of("#view-title") == "New call",
          "a late answer replaced the view")
    find("#n-SOLDTOBP").send_keys("BP-1001")
    find("#n-CALLDESC").send_keys("double click")
    ActionChains(driver).double_click(
        find("#new-call button[type=submit]")).perform()
    wait_text("#new-call-outcome", "created")
    time.sleep(1)
    check(len(calls_described("double click")) == 1,
          "a double click stores one call")
    driver.refresh()
    heading("New call")

    # --- Answers dropped on the way back: the agent sends again, one call.
    driver.execute_script("""
        const real = window.fetch; let dropped = 0;
        window.fetch = async (...a) => {
          const answer = await real(...a);
          if ((a[1] || {}).method === 'POST' && dropped < 3) { ++dropped; throw new TypeError('dropped'); }
          return answer; };""")
    find("#n-SOLDTOBP").send_keys("BP-1001")
    find("#n-CALLDESC").send_keys("dropped answer")
    find("#new-call button[type=submit]").click()
    wait_text("#new-call-outcome", "unknown")
    find("#new-call button[type=submit]").click()
    wait_text("#new-call-outcome", "created")
    check(len(calls_described("dropped answer")) == 1,
          "a retry after dropped answers stores one call")

    # --- A 401 brings the sign-in back; sign-out forgets the token.
    driver.execute_script("sessionStorage.setItem('quillet-token', 'stale')")
    driver.get(base + "#/log")
    heading("Sign in")
    check("valid access token" in text_of("main"), "a 401 is explained")
    find("#token").send_keys(TOKEN + Keys.ENTER)
    heading("Log")
    find("#sign-out").click()
    heading("Sign in")
    check(driver.execute_script(
        "return sessionStorage.getItem('quillet-token')") is None,
        "signing out forgets the token")
    driver.refresh()
    heading("Sign in")
    find("#token").send_keys("wrong" + Keys.ENTER)
    wait_text("#signin-outcome", "not accepted")
    # A token the service dropped is told so (as the service answers it).
    driver.execute_script("""
        const real = window.fetch;
        window.fetch = async (path, init) => path.startsWith('/calls?limit=1')
          ? new Response(JSON.stringify({message: 'this token was revoked'}),
              {status: 401, headers: {'Content-Type': 'application/json'}})
          : real(path, init);
        window.restoreFetch = () => { window.fetch = real; };""")
    find("#token").clear()
    find("#token").send_keys("dropped" + Keys.ENTER)
    wait_text("#signin-outcome", "This token was revoked")
    driver.execute_script("window.restoreFetch()")

    # A service that tells who is calling and keeps a history: a read
    # token is offered no change, and the call's history is shown.
    driver.execute_script("""
        const real = window.fetch;
        window.fetch = async (path, init) => {
          const reply = (body) => new Response(JSON.stringify(body),
              {status: 200, headers: {'Content-Type': 'application/json'}});
          if (path === '/whoami') return reply({name: 'viewer \u202eevil', scope: 'read'});
          if (path.startsWith('/events?') && path.includes('call='))
            return reply({events: [{position: 7, at: '2026-12-01T08:30:00Z', at_unix: 1796113800,
              actor: 'agent-7', channel: 'service', operation: 'update-call', option: 1,
              request_key: 'k', dry_run: false, done: false,
              outcome: 'refused: 403 scope', changes: {}}], next: 7});
          return real(path, init); };""")
    find("#token").clear()
    find("#token").send_keys(TOKEN + Keys.ENTER)
    heading("Calls")
    wait_text("#who", "viewer")
    driver.execute_script("location.hash = '#/call/' + arguments[0]", number)
    wait_text("#history", "agent-7")
    check("Refused: 403" in text_of("#history"), "the history says refused")
    check(all(b.get_attribute("disabled") is not None for b in
              driver.find_elements(By.CSS_SELECTOR, ".options button")) and
          "may only read" in text_of(".reasons"),
          "a read token is offered no change, and told why")
    find("nav.sections a[href='#/new']").click()
    heading("New call")
    check(find("#new-call button[type=submit]").get_attribute("disabled")
          is not None, "a read token cannot create a call")
    find("#sign-out").click()
    heading("Sign in")

    # --- A plain-HTTP host name: no crypto.randomUUID, writes still work.
    driver.get("http://%s:%s/#/new" % (HOST, port))
    heading("Sign in")
    check(driver.execute_script(
        "return !isSecureContext && !crypto.randomUUID"),
        "the page from a host name is not a secure context")
    find("#token").send_keys(TOKEN + Keys.ENTER)
    heading("New call")
    find("#n-SOLDTOBP").send_keys("BP-1001")
    find("#n-CALLDESC").send_keys("insecure origin")
    find("#new-call button[type=submit]").click()
    wait_text("#new-call-outcome", "created")
    check(len(calls_described("insecure origin")) == 1,
          "a page that is not a secure context stores its call")

    # No script error, CSP violation or missing file (statuses the API
    # answers on purpose, 401, 404 and the stale tab's 412, are the only
    # network errors).
    for entry in driver.get_log("browser"):
        message = entry["message"]
        if entry["level"] != "SEVERE":
            continue
        if entry.get("source") == "network" and re.search(r" (401|404|412) ", message) \
                and "favicon" not in message:
            continue
        # Asked for on purpose: a bad error number, a completed call changed.
        if entry.get("source") == "network" and (
                ("number=x1" in message and " 400 " in message) or
                ("/changes" in message and " 424 " in message)):
            continue
        check(False, "console error: " + message)

    # A page of another origin (another port) tries to write, read and
    # frame; the console's own calls are counted before and after.
    # Without tokens (the packaged default) only the browser defences stand
    # between another site and the service: a second service on the same
    # database, with none.
    open_errors = open(os.path.join(scratch, "open.err"), "w+")
    open_server = subprocess.Popen(
        [quillet, "serve", "--listen", "127.0.0.1:0", "--db", db],
        stderr=open_errors)
    open_port = wait_for_port(open_errors.name)
    open_base = "http://127.0.0.1:%s/" % open_port

    def stored_calls():
        with urllib.request.urlopen(open_base + "calls", timeout=10) as answer:
            return len(json.load(answer))

    before = stored_calls()
    attack_dir = tempfile.mkdtemp(prefix="quillet-attack-")
    target = open_base + "calls"
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
</script>""" % {"target": target, "base": open_base})

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
        driver.get("http://rebind.test:%s/calls" % open_port)
        body = driver.find_element(By.TAG_NAME, "body").text
        check("SC0" not in body and "does not answer" in body,
              "a rebinding host name reads nothing")
    finally:
        attacker.shutdown()
        open_server.terminate()
        check(open_server.wait(timeout=20) == 0,
              "the second server stopped cleanly")
finally:
    if driver:
        driver.quit()
    server.terminate()
    check(server.wait(timeout=20) == 0, "the server stopped cleanly")

if failures:
    sys.exit(1)
print("1 passed, 0 failed")

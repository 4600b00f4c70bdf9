#!/usr/bin/env python3
"""The account and admin pages in headless Chromium with JavaScript switched off, walked once as a team lead and a
rep would: the lead signs in, adds the rep (the first password shown once), uploads two documents, grants time, and
a post without the form token is refused; the rep's program signs in through the device page and pulls a document,
the rep's account page shows the time, and every admin page answers "not allowed". The request log names no secret.
Usage: admin_pages_test.py PATH/TO/quippet-server. Exits 77 (skipped) without Chromium, its driver or Selenium."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("python3-selenium is not installed: skipped")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("chromium or chromium-driver is not installed: skipped")
    sys.exit(77)

LEAD, PASSWORD, REP = "lead@example.com", "correct horse 1", "rep@example.com"
ADMIN_PAGES = ("admin", "admin/users", "admin/documents", "admin/usage", "admin/audit")


def request(url, body=None, headers=None, method=None):
    """Status and body, refusals included."""
    req = urllib.request.Request(url, body, headers or {}, method=method)
    try:
        with urllib.request.urlopen(req, timeout=10) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as refusal:
        return refusal.code, refusal.read()


def api(url, payload=None, token=None):
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = "Bearer " + token
    body = json.dumps(payload).encode() if payload is not None else None
    return json.loads(request(url, body, headers)[1] or b"{}")


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix="quippet-admin-")
    env = dict(os.environ, QUIPPET_SERVER_DATABASE="sqlite:" + os.path.join(work, "db.sqlite"),
               QUIPPET_SERVER_HASH_COST="minimal")
    subprocess.run([binary, "user", "add", LEAD, "--admin", "--seconds", "0"], input=PASSWORD.encode(), env=env,
                   check=True, stdout=subprocess.DEVNULL)
    documents = {"cennik.md": "# Cennik\nPakiet Pro: 199 zł\n", "oferta.txt": "Oferta dla zespołów\n"}
    for name, text in documents.items():
        with open(os.path.join(work, name), "w", encoding="utf-8") as out:
            out.write(text)
    server = subprocess.Popen([binary, "serve", "--listen", "127.0.0.1:0"], env=env, stdout=subprocess.PIPE)
    driver = None
    secrets = []
    try:
        base = re.search(r"serving on (\S+)", server.stdout.readline().decode()).group(1)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--lang=en-US",
                     "--user-data-dir=" + os.path.join(work, "profile")):
            options.add_argument(flag)
        options.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2,
                                                  "intl.accept_languages": "en-US,en"})
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        driver.set_page_load_timeout(20)
        driver.implicitly_wait(10)  # a clicked form's answer may still be loading
        sizes = {}

        def until(condition):
            """Waits for the page a click leads to (the old one may still be shown)."""
            WebDriverWait(driver, 10, ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)) \
                .until(lambda _: condition())

        def visit(path):
            driver.get(base + path)
            page = driver.page_source
            assert "<script" not in page, path
            sizes.setdefault(path.split("?")[0], len(page.encode()))
            return page

        def fill(field_id, text):
            element = driver.find_element(By.ID, field_id)
            element.clear()
            element.send_keys(text)

        visit("admin")
        assert driver.find_element(By.ID, "forbidden"), "an admin page without a session"

        # The lead signs in on the account page and adds a rep.
        visit("panel")
        fill("email", LEAD)
        fill("password", PASSWORD)
        driver.find_element(By.ID, "signin").click()
        until(lambda: driver.find_element(By.ID, "email").text == LEAD)
        visit("admin/users")
        fill("new-email", REP)
        fill("new-hours", "1")
        driver.find_element(By.ID, "add-user").click()
        initial = driver.find_element(By.ID, "initial-password").text
        secrets.append(initial)
        assert len(initial) == 16, initial

        # Two documents at once, then more time for the rep.
        visit("admin/documents")
        driver.find_element(By.ID, "files").send_keys("\n".join(os.path.join(work, name) for name in documents))
        driver.find_element(By.ID, "upload").click()
        listed = driver.find_element(By.ID, "documents").text
        assert all(name in listed for name in documents), listed
        visit("admin/users")
        row = "//tr[td[starts-with(normalize-space(.), '%s')]]" % REP
        minutes = driver.find_element(By.XPATH, row + "//form[@action='/admin/users/time']//input[@name='minutes']")
        minutes.clear()
        minutes.send_keys("30")
        driver.find_element(By.XPATH, row + "//form[@action='/admin/users/time']//button").click()
        until(lambda: "1 h 30 min" in driver.find_element(By.XPATH, row).text)

        # A post without the form token is refused even with the lead's session.
        session = {c["name"]: c["value"] for c in driver.get_cookies()}["qs_session"]
        status, _ = request(base + "admin/users/add", b"email=forged%40example.com&hours=1",
                            {"Content-Type": "application/x-www-form-urlencoded", "Cookie": "qs_session=" + session})
        assert status == 403, status
        visit("admin/usage")
        assert driver.find_element(By.ID, "chart").get_attribute("role") == "img"
        visit("admin/audit")
        audit = driver.find_element(By.ID, "audit").text
        for action in ("user.add", "document.upload", "user.time"):
            assert action in audit, audit
        assert "forged@example.com" not in visit("admin/users")

        # The rep's program signs in through the device page in this browser and pulls a document.
        start = api(base + "api/auth/device/start", {"deviceName": "Rep's laptop"})
        driver.get(start["verification_uri_complete"])
        fill("email", REP)
        fill("password", initial)
        driver.find_element(By.ID, "signin").click()
        driver.find_element(By.ID, "connect").click()
        driver.find_element(By.ID, "done")
        token = api(base + "api/auth/device/token", {"device_code": start["device_code"]})["access_token"]
        secrets.append(token)
        names = [d["name"] for d in api(base + "api/context", token=token)["documents"]]
        assert sorted(names) == sorted(documents), names
        status, content = request(base + "api/context/cennik.md", headers={"Authorization": "Bearer " + token})
        assert status == 200 and content.decode() == documents["cennik.md"], (status, content)

        # The same browser is now the rep's: the account page, and no admin page.
        visit("panel")
        assert driver.find_element(By.ID, "email").text == REP
        assert driver.find_element(By.ID, "remaining").text == "1 h 30 min"
        assert LEAD in driver.find_element(By.ID, "topup").find_element(By.XPATH, "following-sibling::p").text
        for path in ADMIN_PAGES:
            visit(path)
            assert driver.find_element(By.ID, "forbidden").text == "Not allowed", path

        print("page sizes (bytes): " + ", ".join("%s %d" % item for item in sorted(sizes.items())))
        print("admin pages: adding a user, uploading documents, granting time, the rep's pull and refusals work "
              "in headless Chromium")
    finally:
        if driver:
            driver.quit()
        server.terminate()
        log = server.communicate(timeout=10)[0].decode()
        shutil.rmtree(work, ignore_errors=True)
    assert re.search(r"^GET /panel 200 [0-9.]+ms user=\d+$", log, re.M), log[-2000:]
    for secret in secrets:
        assert secret not in log, "a secret reached the request log"
    return 0


if __name__ == "__main__":
    sys.exit(main())

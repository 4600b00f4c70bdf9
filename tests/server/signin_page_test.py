#!/usr/bin/env python3
"""The sign-in page in headless Chromium with JavaScript switched off: a wrong password, then the right one,
"Connect this computer (name)?", connect, the return link; then the program's poll gets its token.
Usage: signin_page_test.py PATH/TO/quippet-server. Exits 77 (skipped) without Chromium, its driver or Selenium."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("python3-selenium is not installed: skipped")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("chromium or chromium-driver is not installed: skipped")
    sys.exit(77)

EMAIL, PASSWORD, DEVICE = "ania@example.com", "correct horse 1", "Ania's laptop <b>"


def post(url, body):
    request = urllib.request.Request(url, json.dumps(body).encode(), {"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return json.load(reply)
    except urllib.error.HTTPError as refusal:
        return json.load(refusal)


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix="quippet-signin-")
    env = dict(os.environ, QUIPPET_SERVER_DATABASE="sqlite:" + os.path.join(work, "db.sqlite"),
               QUIPPET_SERVER_HASH_COST="minimal")
    subprocess.run([binary, "user", "add", EMAIL], input=PASSWORD.encode(), env=env, check=True,
                   stdout=subprocess.DEVNULL)
    server = subprocess.Popen([binary, "serve", "--listen", "127.0.0.1:0"], env=env, stdout=subprocess.PIPE)
    driver = None
    try:
        base = re.search(r"serving on (\S+)", server.stdout.readline().decode()).group(1)
        start = post(base + "api/auth/device/start", {"deviceName": DEVICE})

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--user-data-dir=" + os.path.join(work, "profile")):
            options.add_argument(flag)
        options.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2})
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        driver.set_page_load_timeout(20)
        driver.implicitly_wait(10)  # a clicked form's answer may still be loading

        driver.get(start["verification_uri_complete"])
        assert driver.find_element(By.ID, "email").get_attribute("type") == "email"
        assert driver.find_element(By.ID, "password").get_attribute("type") == "password"
        assert "<script" not in driver.page_source
        assert driver.find_element(By.TAG_NAME, "main").value_of_css_property("max-width") == "416px", \
            "the page's own stylesheet did not apply"

        def sign_in(password):
            driver.find_element(By.ID, "email").clear()
            driver.find_element(By.ID, "email").send_keys(EMAIL)
            driver.find_element(By.ID, "password").send_keys(password)
            driver.find_element(By.ID, "signin").click()

        sign_in("not the password")
        assert "Wrong e-mail or password" in driver.find_element(By.ID, "message").text
        sign_in(PASSWORD)
        question = driver.find_element(By.ID, "question").text
        assert question == "Connect this computer (%s)?" % DEVICE, question
        assert post(base + "api/auth/device/token", {"device_code": start["device_code"]})["error"] == \
            "authorization_pending"
        driver.find_element(By.ID, "connect").click()
        assert driver.find_element(By.ID, "done").text == "This computer is connected"
        assert driver.find_element(By.ID, "return").get_attribute("href") == "quippet://auth"

        token = post(base + "api/auth/device/token", {"device_code": start["device_code"]})
        assert len(token.get("access_token", "")) >= 43, "no token after the confirmation"
        print("sign-in page: wrong password, confirmation and return link work in headless Chromium")
        return 0
    finally:
        if driver:
            driver.quit()
        server.terminate()
        server.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

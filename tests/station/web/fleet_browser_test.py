#!/usr/bin/python3
"""The fleet view in a real browser: vm418ctl serve over an SQLite database seeded with two
systems (one named like a script) and an imported download, loaded by headless Chromium
through chromedriver. It checks the fleet rows, the hostile name shown as text and never
run, the phone-width layout, a system page's SVG graphs, and that the N42 download of the
page validates against the schema. With FLEET_SHOTS=DIR it leaves a picture of each page.

    fleet_browser_test.py VM418CTL DOWNLOAD_DIR N42_SCHEMA
"""
import json
import os
import re
import ssl
import subprocess
import sys
import tempfile
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, file=sys.stderr)


def run(args, env):
    subprocess.run(args, env=env, check=True, stdout=subprocess.DEVNULL)


def shot(driver, name, width, height):
    folder = os.environ.get("FLEET_SHOTS")
    if folder:
        driver.set_window_size(width, height)
        driver.save_screenshot(os.path.join(folder, name))


def main():
    vm418ctl, download, schema = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as tmp:
        # The data source this test sets up, not one the environment names (scripts/run-tests
        # points ODBCINI at its PostgreSQL server's files).
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(tmp, "config"))
        for name in ["ODBCINI", "ODBCSYSINI", "VM418_DB"]:
            env.pop(name, None)
        db = os.path.join(tmp, "vm418.db")
        run([vm418ctl, "db", "init", "--sqlite", db], env)
        for system, serial, name in [("3", "S-3", "Gate 3"),
                                     ("4", "S-4", "<script>alert('x')</script>")]:
            run([vm418ctl, "systems", "add", "--system", system, "--serial", serial, "--name",
                 name, "--modem", "555", "--password", "1418", "--port-settings",
                 "COM1 9600 0 0 8 3"], env)
        run([vm418ctl, "import", "--system", "3", download], env)

        server = subprocess.Popen(
            [vm418ctl, "--db", "DRIVER=SQLite3;Database=" + db, "serve", "--listen",
             "127.0.0.1:0"], env=env, stdout=subprocess.PIPE, text=True)
        options = Options()
        for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                         "--window-size=1100,700"]:
            options.add_argument(argument)
        options.binary_location = "/usr/bin/chromium"
        driver = None
        try:
            line = server.stdout.readline()
            port = re.search(r":(\d+)/", line)
            check(port is not None, "the server prints its address: " + line)
            base = "http://127.0.0.1:%s" % port.group(1)
            driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)

            driver.get(base + "/")
            check(driver.title == "418vLINK fleet", "the fleet page's title: " + driver.title)
            rows = driver.find_elements(By.CSS_SELECTOR, "table.fleet tbody tr")
            check(len(rows) == 2, "two rows, found %d" % len(rows))
            names = [r.find_element(By.CSS_SELECTOR, "td a").text for r in rows]
            check("Gate 3" in names, "Gate 3 listed: %s" % names)
            check("<script>alert('x')</script>" in names, "the script name shown as text")
            try:
                driver.switch_to.alert
                check(False, "no script of a name runs")
            except NoAlertPresentException:
                pass
            check(driver.find_element(By.CSS_SELECTOR, "table.fleet thead").is_displayed(),
                  "the table's heading shows on a desk's width")
            shot(driver, "fleet-page.png", 1100, 420)
            driver.set_window_size(400, 800)
            check(not driver.find_element(By.CSS_SELECTOR, "table.fleet thead").is_displayed(),
                  "on a phone's width the rows stand as blocks without the heading")
            shot(driver, "fleet-phone.png", 400, 700)
            driver.set_window_size(1100, 700)

            # Two of the imported alarms are of March 1999.
            driver.get(base + "/")
            driver.find_element(By.LINK_TEXT, "Gate 3").click()
            check(driver.current_url.endswith("/system/3"), "the row links to its system")
            driver.get(base + "/system/3?from=1999-01-01&to=1999-12-31")
            heading = driver.find_element(By.ID, "alarms").text
            graphs = driver.find_elements(By.CSS_SELECTOR, "svg.graph")
            check(heading.startswith("2 alarms"), "the heading counts 2 alarms: " + heading)
            check(len(graphs) == 2, "one graph per alarm, found %d" % len(graphs))
            for g in graphs:
                check(len(g.find_elements(By.CSS_SELECTOR, "line.cursor")) == 4,
                      "four cursor lines in each graph")
                check(len(g.find_elements(By.CSS_SELECTOR, "polyline.trace")) == 1,
                      "a trace in each graph")
                check(g.size["width"] > 300, "a graph is drawn at its size: %s" % g.size)
            details = driver.find_elements(By.CSS_SELECTOR, ".alarm pre")
            check(all("C BNV 01 2 3S12EDODCFSLU" in d.text for d in details),
                  "each alarm's nine lines with the legend")
            shot(driver, "fleet-system.png", 1100, 1100)

            link = driver.find_element(By.LINK_TEXT, "N42 of these alarms").get_attribute("href")
            n42 = urllib.request.urlopen(link).read()
            path = os.path.join(tmp, "alarms.n42")
            with open(path, "wb") as f:
                f.write(n42)
            lint = subprocess.run(["xmllint", "--noout", "--schema", schema, path],
                                  capture_output=True, text=True)
            check(lint.returncode == 0, "the N42 download validates: " + lint.stderr[-400:])
            check(n42.count(b"<RadAlarm ") == 2, "the N42 download holds the page's two alarms")
            # With a certificate and key the same pages go over TLS only.
            key, cert = os.path.join(tmp, "key.pem"), os.path.join(tmp, "cert.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                           check=True, capture_output=True)
            tls = subprocess.Popen(
                [vm418ctl, "--db", "DRIVER=SQLite3;Database=" + db, "serve", "--listen",
                 "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key], env=env,
                stdout=subprocess.PIPE, text=True)
            try:
                line = tls.stdout.readline()
                check("The fleet view is on https://" in line, "TLS said: " + line)
                address = re.search(r"(https://[^/]+/)", line).group(1)
                unverified = ssl._create_unverified_context()
                systems = json.loads(urllib.request.urlopen(address + "api/systems",
                                                            context=unverified).read())
                check(len(systems) == 2, "the JSON over TLS lists both systems")
                try:
                    urllib.request.urlopen(address.replace("https:", "http:"), timeout=5).read()
                    check(False, "plain HTTP is not answered on the TLS port")
                except Exception:
                    pass
            finally:
                tls.terminate()
                tls.wait(10)
        finally:
            if driver:
                driver.quit()
            server.terminate()
            server.wait(10)
    if failures:
        print("%d checks failed" % len(failures), file=sys.stderr)
        return 1
    print("the fleet view checks out in Chromium")
    return 0


if __name__ == "__main__":
    sys.exit(main())

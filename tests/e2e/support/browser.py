"""Headless Chromium driven through Selenium (Debian's chromium, chromium-driver and
python3-selenium, installed by scripts/setup.sh), kept on this machine: no proxy, no name
resolution (pages are reached by loopback address), none of the browser's own background
traffic. A screenshot of each page goes into an output folder that the test prints.

    with ChromeBrowser(output) as browser:
        browser.open("http://127.0.0.1:8080/")
        browser.menu("Admin", "Mail", "Companies", "Make new company")
        browser.shot("company form")
"""
import base64
import os
import re
import sys

from .net import HarnessError
from .tools import find_tool

try:
    import selenium  # noqa: F401
except ImportError:
    # Debian's package lives in the system Python's folder; another interpreter may run us.
    sys.path.append("/usr/lib/python3/dist-packages")
try:
    from selenium import webdriver
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as e:
    webdriver = None
    IMPORT_ERROR = e

# Everything that makes Chromium talk to the network by itself is off, and no host name resolves.
CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1200,900",
    "--no-proxy-server", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.*", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--no-first-run", "--no-default-browser-check",
    "--disable-default-apps", "--disable-extensions", "--disable-domain-reliability", "--no-pings",
    "--disable-client-side-phishing-detection", "--metrics-recording-only", "--disable-breakpad",
    "--password-store=basic", "--use-mock-keychain",
]

PAGE_WAIT = 10.0


def xpath_text(text):
    """An XPath string literal for text (which may hold both kinds of quote)."""
    if "'" not in text:
        return "'%s'" % text
    return "concat(%s)" % ", \"'\", ".join("'%s'" % part for part in text.split("'"))


class ChromeBrowser:
    def __init__(self, output):
        self.output = output
        self.driver = None
        self.count = 0

    def start(self):
        if webdriver is None:
            raise HarnessError("python3-selenium is not installed (%s): run scripts/setup.sh" % IMPORT_ERROR)
        chromium = find_tool("chromium")
        driver = find_tool("chromedriver")
        if chromium is None or driver is None:
            raise HarnessError("chromium and chromium-driver are not installed: run scripts/setup.sh")
        os.makedirs(self.output, exist_ok=True)
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        self.driver = webdriver.Chrome(service=Service(executable_path=driver), options=options)
        self.driver.set_page_load_timeout(30)
        self.driver.execute_cdp_cmd("Network.enable", {})
        return self

    def stop(self):
        if self.driver is not None:
            try:
                self.driver.quit()
            finally:
                self.driver = None

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, exc_type, exc, tb):
        self.stop()
        return False

    # --- pages ---------------------------------------------------------------------------
    def open(self, url):
        self.driver.get(url)
        return self

    def shot(self, name):
        """Saves a screenshot of the page as NN_name.png in the output folder."""
        self.count += 1
        path = os.path.join(self.output, "%02d_%s.png" % (self.count, re.sub(r"[^A-Za-z0-9]+", "_", name)))
        self.driver.save_screenshot(path)
        return path

    @property
    def text(self):
        return self.driver.find_element(By.TAG_NAME, "body").text

    @property
    def title(self):
        return self.driver.title

    @property
    def path(self):
        """Path and query of the page shown."""
        url = self.driver.current_url
        return re.sub(r"^https?://[^/]*", "", url)

    def description(self):
        found = self.driver.find_elements(By.CSS_SELECTOR, "h1.DescriptionStyle")
        return found[0].text if found else None

    def cells(self):
        return self.driver.execute_script(
            "return Array.from(document.getElementsByTagName('td'), td => td.innerText.trim())")

    def wait(self, condition, what):
        try:
            return WebDriverWait(self.driver, PAGE_WAIT, poll_frequency=0.05).until(lambda d: condition())
        except TimeoutException:
            raise HarnessError("%s: not within %.0f s (page %s)\n%s"
                               % (what, PAGE_WAIT, self.driver.current_url, self.text[:1000]))

    # --- the page's own menu, links and forms --------------------------------------------
    def menu(self, *captions):
        """Opens the menu item reached through the captions, as a user does: pointing at each
        item opens the list below it, and the last one is clicked."""
        items = []
        for caption in captions:
            found = self.driver.find_elements(By.XPATH, "//div[@id='menu']//a[normalize-space(.)=%s]"
                                              % xpath_text(caption))
            if not found:
                raise HarnessError("no menu item %r on %s" % (caption, self.driver.current_url))
            items.append(found[0])
        actions = ActionChains(self.driver, duration=20)  # a quick hand: pointer moves of 20 ms
        for item in items:
            actions.move_to_element(item)
        self.await_new_page(actions.click(items[-1]).perform, "the page of menu item %r" % captions[-1])

    def click_link(self, text, within="//body"):
        before = self.driver.current_url
        try:
            link = self.driver.find_element(By.XPATH, "%s//a[normalize-space(.)=%s]" % (within, xpath_text(text)))
        except NoSuchElementException:
            raise HarnessError("no link %r on %s\n%s" % (text, before, self.text[:1000]))
        self.await_new_page(link.click, "the page behind %r" % text)

    def await_new_page(self, action, what):
        """Runs action and waits until another document has replaced the one shown (also one
        at the same address, as after a redirect back to it) and has loaded."""
        old = self.driver.find_element(By.TAG_NAME, "html")
        action()

        def replaced():
            try:
                old.tag_name
                return False
            except StaleElementReferenceException:
                return self.driver.execute_script("return document.readyState") == "complete"
        self.wait(replaced, what)

    def fill(self, fields):
        """Types text into fields, ticks or clears checkboxes (a value True or False), by the
        fields' names."""
        for name, value in fields.items():
            field = self.driver.find_element(By.NAME, name)
            if isinstance(value, bool):
                if field.is_selected() != value:
                    field.click()
            else:
                field.clear()
                field.send_keys(value)

    def submit(self, button="OK"):
        found = self.driver.find_element(By.XPATH, "//input[@type='submit' and @value=%s]" % xpath_text(button))
        self.await_new_page(found.click, "the answer to %r" % button)

    # --- credentials ---------------------------------------------------------------------
    def send_credentials(self, user=None, password=None):
        """Sends Basic credentials with every request from now on (None: stops sending them),
        as a browser does once its user has answered the login prompt."""
        headers = {}
        if user is not None:
            token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
            headers["Authorization"] = "Basic " + token
        self.driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": headers})

    def cookies(self):
        return self.driver.get_cookies()

#!/usr/bin/env python3
"""The web administration in a real browser (headless Chromium through Selenium), started as a
user starts it (headless, with a port offset):
- through the menus and forms only: a company, a domain, an administrator and a user account,
  an alias for each, a mailing-list alias with an entry, then "Security on" on the Config page;
- logged in as each account: the administrator reaches the administration, the user only the
  search; both log out, after which the pages ask for credentials again;
- the same administrator, logged in, visits a page of another site (another loopback address)
  that tries a forged removal (a link) and a forged creation (a form it submits itself): nothing
  changes. The session cookie holds no credentials and carries HttpOnly and SameSite=Strict.
(A client from the network is refused while security is off: test_network_client.py.)
A screenshot of every page goes into a folder that the test prints.
"""
import base64
import http.server
import os
import re
import tempfile
import threading
import time

import support
from support import web
from support.browser import ChromeBrowser
from support.testing import TestCase, main

ADMIN = ("1", "Adm1nPass")   # account 1, level 10 (AdminLevel)
USER = ("2", "us3rPass")     # account 2, level 1 (UserLevel)


def output_folder(binary, name):
    """Where the screenshots go: beside the build's e2e tests, else in the temporary folder."""
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(binary))))
    base = os.path.join(build, "tests", "e2e") if os.path.isdir(os.path.join(build, "tests")) else None
    if base is None:
        base = tempfile.gettempdir()
    folder = os.path.join(base, "screenshots", name)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        if old.endswith(".png"):
            os.unlink(os.path.join(folder, old))
    print("screenshots: %s" % folder)
    return folder


class BrowserTest(TestCase):
    def open_browser(self, name):
        return self.use(ChromeBrowser(output_folder(self.binary, name)))

    def start_server(self):
        server = self.use(support.Server(self.binary, wait_ports=("http",)))
        return server, "http://127.0.0.1:%d" % server.ports["http"]

    def assert_page(self, browser, description, shot):
        browser.shot(shot)
        self.assertNotIn("HTTP40", browser.title, browser.text[:500])
        if description is not None:
            self.assertEqual(browser.description(), description, browser.text[:500])

    def assert_refused(self, server, browser, session, shot):
        """The page shown asks for credentials: the browser shows no page of the site (headless
        Chromium cancels the login prompt), and the same request with the browser's cookie is
        answered 401 with the Basic challenge."""
        browser.shot(shot)
        self.assertIsNone(browser.description(), browser.text[:300])
        answer = web.request(server, "GET", browser.path, cookie=session)
        self.assertEqual(answer.status, 401, answer.text[:300])
        self.assertEqual(answer.header("WWW-Authenticate"), "Basic realm=tovenmarsh")

    def make(self, browser, menu, picks, fields, done, shot):
        """One "Make new ..." of the menu: the rows picked on the list pages in turn, then the
        form filled and sent; the update leads to the site root."""
        browser.menu("Admin", *menu)
        self.assert_page(browser, None, shot + " start")
        for pick in picks:
            browser.click_link(pick)
            self.assert_page(browser, None, shot + " picked " + pick)
        browser.fill(fields)
        browser.shot(shot + " filled")
        browser.submit("OK")
        self.assertEqual(browser.path, "/", done)  # the site root, shown once below

    def list_cells(self, browser, menu, picks=()):
        browser.menu("Admin", *menu)
        for pick in picks:
            browser.click_link(pick)
        return browser.cells()


class AdministrationInTheBrowser(BrowserTest):
    def test_set_up_secure_and_use_as_each_level(self):
        server, base = self.start_server()
        browser = self.open_browser("web_browser_levels")
        browser.open(base + "/")
        self.assert_page(browser, "Search for information in mail database.", "home")

        self.make(browser, ("Mail", "Companies", "Make new company"), [],
                  {"Name": "Acme Works", "Postmaster": True}, "company", "company")
        self.make(browser, ("Mail", "Domains", "Make new domain"), ["Acme Works"],
                  {"Name": "acme.test"}, "domain", "domain")
        for (number, password), name, level in ((ADMIN, "Ada Admin", "10"), (USER, "Bob User", "1")):
            self.make(browser, ("Mail", "Accounts", "Make new account"), [],
                      {"No": number, "Password": password, "Name": name, "Description": "by browser",
                       "Level": level, "Active": True}, "account", "account " + number)
        for number, alias in ((ADMIN[0], "ada"), (USER[0], "bob")):
            self.make(browser, ("Mail", "Aliases", "Make new alias"), ["Acme Works", number],
                      {"Name": alias, "Description": "alias of " + number, "Active": True}, "alias", "alias " + alias)
        self.make(browser, ("Mail", "Aliases", "Make new alias"), ["Acme Works", ADMIN[0]],
                  {"Name": "team", "Description": "everyone", "Active": True, "Maillist": True}, "list", "alias team")
        self.make(browser, ("Mail", "Maillist Entries", "Make new maillist"), ["Acme Works", "team"],
                  {"Name": "Bob", "Description": "member", "Forward User": "bob", "Forward Domain": "acme.test"},
                  "entry", "maillist entry")

        # Cancel leaves the tables alone; a removal asks first and then removes.
        browser.menu("Admin", "Mail", "Companies", "Make new company")
        browser.fill({"Name": "Never Made"})
        browser.submit("Cancel")
        self.assertEqual(browser.path, "/")
        self.make(browser, ("Mail", "Aliases", "Make new alias"), ["Acme Works", USER[0]],
                  {"Name": "temp", "Active": True}, "alias", "alias temp")
        browser.menu("Admin", "Mail", "Aliases", "Remove alias")
        browser.click_link("Acme Works")
        browser.click_link("temp")
        self.assert_page(browser, "Press OK to remove this entry, or Cancel to keep it.", "remove alias temp")
        browser.submit("OK")
        self.assertEqual(browser.path, "/")

        # What was made, as the list pages show it.
        companies = self.list_cells(browser, ("Mail", "Companies", "Edit company info"))
        self.assertIn("Acme Works", companies)
        self.assertNotIn("Never Made", companies)
        self.assertIn("acme.test", self.list_cells(browser, ("Mail", "Domains", "Edit domain info"), ["Acme Works"]))
        accounts = self.list_cells(browser, ("Mail", "Accounts", "Edit account info"))
        self.assertTrue({"1", "Ada Admin", "2", "Bob User"} <= set(accounts), accounts)
        aliases = self.list_cells(browser, ("Mail", "Aliases", "Edit alias info"), ["Acme Works"])
        self.assertTrue({"ada", "bob", "team"} <= set(aliases), aliases)
        self.assertNotIn("temp", aliases)
        entries = self.list_cells(browser, ("Mail", "Maillist Entries", "Edit maillist info"), ["Acme Works", "team"])
        self.assertTrue({"bob", "acme.test"} <= set(entries), entries)
        browser.shot("maillist entries")

        # Security on through the Config page: from the next request on, credentials are asked for.
        browser.menu("Admin", "System", "Config")
        self.assert_page(browser, "Edit the system settings in the form.", "config")
        browser.fill({"Security on": True})
        browser.submit("OK")
        self.assert_refused(server, browser, None, "security on")
        with open(server.path("tovenmarsh.cfg"), "rb") as f:
            self.assertIn(b"SecurityOn=Yes", f.read())

        levels = [  # account, pages it reaches, pages it does not
            (ADMIN, ["/", "/search", "/admin/mail/companies?action=10", "/admin/system/config?action=101&steps=102"],
             []),
            (USER, ["/", "/search"], ["/admin/mail/companies?action=10", "/admin/system/config?action=101&steps=102"]),
        ]
        for (number, password), reached, refused in levels:
            with self.subTest(account=number):
                # The browser answers the login prompt once; from then on the cookie carries it.
                browser.send_credentials(number, password)
                browser.open(base + "/")
                self.assert_page(browser, "Search for information in mail database.", "login " + number)
                cookie = [c for c in browser.cookies() if c["name"] == "tmid"]
                self.assertEqual(len(cookie), 1, browser.cookies())
                self.assertTrue(cookie[0]["httpOnly"])
                self.assertEqual(cookie[0].get("sameSite"), "Strict")
                self.assertRegex(cookie[0]["value"], r"^[0-9a-f]{32}$")
                self.assertNotIn(password, cookie[0]["value"])
                browser.send_credentials(None)
                for path in reached:
                    browser.open(base + path)
                    self.assert_page(browser, None, "level %s reaches %s" % (number, path))
                session = cookie[0]["value"]
                for path in refused:
                    browser.open(base + path)
                    self.assert_refused(server, browser, session, "level %s refused %s" % (number, path))
                if number == ADMIN[0]:
                    self.assertIn("Acme Works", self.list_cells(browser, ("Mail", "Companies", "Edit company info")))
                browser.open(base + "/")
                browser.click_link("Log out")
                browser.shot("logged out " + number)
                browser.open(base + "/search")
                self.assert_refused(server, browser, session, "after logout " + number)


class ForgeriesFromAnotherSite(BrowserTest):
    def test_forged_requests_of_another_site_change_nothing(self):
        server, base = self.start_server()
        # The installation: a company and the administrator's account, through the pages.
        self.assertEqual(web.post_update(server, "/admin/mail/companies?action=12&do=U", {"Name": "Keep Me"}).status, 303)
        self.assertEqual(web.post_update(server, "/admin/mail/accounts?action=32&do=U",
                                         {"No": ADMIN[0], "Password": ADMIN[1], "Name": "Ada", "Level": "10",
                                          "Active": "ON"}).status, 303)
        server.stop()
        server.write_config({"SecurityOn": "Yes"})
        server.start()
        base = "http://127.0.0.1:%d" % server.ports["http"]  # a start takes a new port offset
        companies = web.request(server, "GET", "/admin/mail/companies?action=10",
                                headers={"Authorization": basic(*ADMIN)})
        self.assertEqual(companies.status, 200, companies.text[:300])
        key = re.search(r"key=(\d+)", companies.text).group(1)

        # The other site: a page on another loopback address.
        other = self.use(OtherSite(base, key))
        browser = self.open_browser("web_browser_forgeries")
        browser.send_credentials(*ADMIN)
        browser.open(base + "/admin/mail/companies?action=10")
        self.assert_page(browser, "Choose a company from the list.", "administrator logged in")
        browser.send_credentials(None)
        browser.open(base + "/admin/mail/accounts?action=30")
        self.assert_page(browser, None, "by cookie alone")

        # Each page takes the browser to the server (the forged request is sent, without the
        # session's cookie), or loads its images from there.
        forgeries = [("link.html", "/admin/mail/companies?action=12&do=R&key=" + key),
                     ("form.html", "/admin/mail/accounts?action=32&do=U&key=99"),
                     ("image.html", None)]
        for page, lands in forgeries:
            with self.subTest(page=page):
                browser.open(other.url(page))
                if lands:
                    browser.wait(lambda: browser.path == lands, "the forged request of " + page)
                else:
                    time.sleep(1.0)
                browser.shot("forgery " + page)
        # Nothing reached the server's tables: the company is there, no account 99.
        browser.open(base + "/admin/mail/companies?action=10")
        self.assert_page(browser, None, "companies afterwards")
        self.assertIn("Keep Me", browser.cells())
        browser.open(base + "/admin/mail/accounts?action=30")
        self.assertNotIn("99", browser.cells())
        self.assertNotIn("Forged", browser.cells())
        self.assertGreaterEqual(other.served, 3)

        # The same forged requests sent by the administrator's own session (cookie, no token)
        # are refused too: the token, not the cookie, authorizes an update.
        cookie = [c for c in browser.cookies() if c["name"] == "tmid"][0]["value"]
        forged = web.request(server, "POST", "/admin/mail/accounts?action=32&do=U",
                             body="No=99&Name=Forged&Level=10&Perform=OK", cookie=cookie)
        self.assertNotEqual(forged.status, 303)
        removal = web.request(server, "GET", "/admin/mail/companies?action=12&do=R&key=%s" % key, cookie=cookie)
        self.assertNotEqual(removal.status, 303)
        listing = web.request(server, "GET", "/admin/mail/companies?action=10", cookie=cookie)
        self.assertIn("Keep Me", listing.text)


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


class OtherSite:
    """A tiny web site on another loopback address (127.0.0.3): its pages try forgeries against
    the server at target: a link followed at once (company removal), a form it submits itself
    (account creation) and an image whose address is an update."""

    def __init__(self, target, key, address="127.0.0.3"):
        self.target, self.key, self.address = target, key, address
        self.served = 0
        self.httpd = None

    def pages(self):
        removal = "%s/admin/mail/companies?action=12&do=R&key=%s" % (self.target, self.key)
        creation = "%s/admin/mail/accounts?action=32&do=U&key=99" % self.target
        return {
            "/link.html": "<html><body><a id='go' href='%s'>prize</a>"
                          "<script>document.getElementById('go').click()</script></body></html>" % removal,
            "/form.html": "<html><body><form id='f' method='POST' action='%s'>"
                          "<input name='No' value='99'><input name='Name' value='Forged'>"
                          "<input name='Level' value='10'><input name='Password' value='x'>"
                          "<input name='Active' value='ON'><input name='Perform' value='OK'></form>"
                          "<script>document.getElementById('f').submit()</script></body></html>" % creation,
            "/image.html": "<html><body><img src='%s'><img src='%s'></body></html>"
                           % (removal, creation.replace("&key=99", "&key=99&No=99&Name=Forged")),
        }

    def url(self, page):
        return "http://%s:%d/%s" % (self.address, self.httpd.server_address[1], page)

    def __enter__(self):
        pages = self.pages()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = pages.get(self.path, "").encode()
                site.served += 1
                self.send_response(200 if body else 404)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        try:
            self.httpd = http.server.ThreadingHTTPServer((self.address, 0), Handler)
        except OSError as e:
            raise support.PeerUnavailable("cannot listen on %s: %s" % (self.address, e))
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        if self.httpd is not None:
            self.httpd.shutdown()
            self.httpd.server_close()
        return False


if __name__ == "__main__":
    main()

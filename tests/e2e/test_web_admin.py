#!/usr/bin/env python3
"""The web administration driven as a user drives it, against the running server:
- static files from the web folder: bytes, types, HEAD, 404, and no way out of the folder
  (dot segments, their escapes, a symbolic link);
- the pages' own menu links and forms (each with its session's form token) create a company, a
  domain, an account and an alias; a message sent to the alias over SMTP is read back over
  POP3; a password changed through the account's form applies to POP3 at once; removing the
  account through its page ends the POP3 login, and removing the company takes its domains and
  aliases along;
- text with markup, quotes and the pages' own placeholders comes back escaped in the list and
  form pages, and a key holding such text still finds its row;
- security switched on through the configuration page: 401 with the Basic challenge, wrong or
  too low credentials refused, the "tmid" cookie alone admitting (for curl's and urllib's
  cookie jars too) until a restart ends the session, user-level accounts kept out of every
  admin action;
- malformed, huge, pipelined and abandoned requests leave the server serving.

Clients: http.client (it sends the path as given and follows no redirect, so the site-root
redirect of an update is checked, not followed), urllib, curl, smtplib and poplib.
"""
import base64
import html.parser
import http.client
import http.cookiejar
import os
import poplib
import re
import socket
import subprocess
import urllib.parse
import urllib.request

import support
from support import clients
from support.net import wait_for
from support.testing import TestCase, main
from support.tools import require_tool

TIMEOUT = 10.0

# The frame's placeholders; the page script of the template is the only <script> element a
# page may hold, so any other one came from data.
TEMPLATE = (b"<html><head><title>tovenmarsh #version</title></head><body>\r\n"
            b"<script>#menu</script>\r\n<h1>#description</h1>\r\n#content\r\n<#CONTENT>\r\n"
            b"</body></html>\r\n")
# Every byte value, so any text-mode or charset handling of static files shows.
BINARY = bytes(range(256)) * 37 + b"\r\n\x00end"
SECRET = b"not for the web\r\n"


class Page(html.parser.HTMLParser):
    """What a browser needs of a page: its links, its forms with their fields, the text of every
    table cell and the names of all start tags."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.links = []        # (href, text)
        self.forms = []        # {"method", "action", "fields": [(name, type, value, checked)]}
        self.cells = []        # text of each <td>
        self.tags = []
        self._link = None
        self._cell = None
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append(tag)
        if tag == "a":
            self._link = [a.get("href", ""), ""]
        elif tag == "form":
            self.forms.append({"method": a.get("method", "GET").upper(), "action": a.get("action", ""),
                               "fields": []})
        elif tag in ("input", "textarea") and self.forms:
            kind = a.get("type", "text" if tag == "input" else "textarea").lower()
            self.forms[-1]["fields"].append((a.get("name", ""), kind, a.get("value", ""), "checked" in a))
        elif tag == "td":
            self._cell = ""

    def handle_endtag(self, tag):
        if tag == "a" and self._link is not None:
            self.links.append(tuple(self._link))
            self._link = None
        elif tag == "td" and self._cell is not None:
            self.cells.append(self._cell)
            self._cell = None

    def handle_data(self, data):
        if self._link is not None:
            self._link[1] += data
        if self._cell is not None:
            self._cell += data

    def link(self, text):
        found = [href for href, t in self.links if t == text]
        if len(found) != 1:
            raise AssertionError("no single link %r among %r" % (text, self.links))
        return found[0]

    def field(self, name):
        for form in self.forms:
            for field in form["fields"]:
                if field[0] == name:
                    return field
        raise AssertionError("no field %r in %r" % (name, self.forms))


def menu_links(text):
    """The menu's items (caption -> URL) from the script arrays of the page frame."""
    return dict(re.findall(r'\["([^"]*)","([^"]*)",1,0,[01]\]', text))


def local_target(url):
    """Path and query of a link the pages made: they name the configured web server (not us),
    so the browser here keeps only what follows the host."""
    parts = urllib.parse.urlsplit(url if "://" in url else "http://" + url)
    return parts.path + ("?" + parts.query if parts.query else "")


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


class Response:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def header(self, name):
        values = [v for k, v in self.headers if k.lower() == name.lower()]
        return values[0] if values else None

    def cookies(self):
        """The "tmid" values this response sets, in order."""
        return [v.split(";", 1)[0].split("=", 1)[1] for k, v in self.headers
                if k.lower() == "set-cookie" and v.startswith("tmid=")]

    @property
    def text(self):
        return self.body.decode("latin-1")

    def page(self):
        return Page(self.text)


class Browser:
    """One user at the server: optional Basic credentials and the cookie the server gave."""

    def __init__(self, server, credentials=None, source=None):
        self.server = server
        self.credentials = credentials
        self.cookie = None
        # The loopback address the requests come from (failed logins are slowed per address).
        self.source = (source, 0) if source else None

    def request(self, method, target, body=None, headers=None):
        connection = http.client.HTTPConnection(self.server.address, self.server.ports["http"], timeout=TIMEOUT,
                                                source_address=self.source)
        try:
            sent = dict(headers or {})
            if self.credentials:
                sent["Authorization"] = self.credentials
            if self.cookie is not None:
                sent["Cookie"] = "tmid=" + self.cookie
            if body is not None:
                sent["Content-Type"] = "application/x-www-form-urlencoded"
            connection.request(method, target, body=body, headers=sent)
            answer = connection.getresponse()
            response = Response(answer.status, answer.getheaders(), answer.read())
        finally:
            connection.close()
        for value in response.cookies():
            self.cookie = value or None
        return response

    def get(self, target, expect=200):
        response = self.request("GET", target)
        if expect is not None and response.status != expect:
            raise AssertionError("GET %s: %d, not %d\n%s" % (target, response.status, expect, response.text[:2000]))
        return response

    def submit(self, form, values, button="OK"):
        """Sends a form as a browser does: text fields with their values (or the given ones),
        checkboxes only when checked (True in values), and the one button pressed."""
        pairs = []
        for name, kind, value, checked in form["fields"]:
            if kind == "submit":
                if value == button:
                    pairs.append((name, value))
            elif kind == "checkbox":
                if values.get(name, checked):
                    pairs.append((name, "ON"))
            else:
                pairs.append((name, values.get(name, value)))
        unknown = set(values) - {name for name, _, _, _ in form["fields"]}
        if unknown:
            raise AssertionError("the form has no fields %s: %r" % (unknown, form["fields"]))
        body = urllib.parse.urlencode(pairs)
        return self.request(form["method"], local_target(form["action"]), body=body)


class WebAdmin(TestCase):
    def installation(self):
        """A started server whose web folder holds the template, a few files and a symbolic link
        to a file beside the folder."""
        return self.use(self.prepared())

    def restart(self, server):
        server.stop()
        return server.start()

    def prepared(self):
        settings = {"SecurityOn": "No", "UserLevel": "1", "AdminLevel": "10"}
        server = support.Server(self.need_binary(), config=settings, wait_ports=("smtp", "pop3", "http"))
        web = server.path("webroot")
        os.makedirs(os.path.join(web, "sub"))
        for name, data in (("template.html", TEMPLATE), ("data.raw", BINARY), ("Picture.GIF", BINARY[:999]),
                           ("sub/page.html", b"<p>inner page</p>\r\n"), ("empty.txt", b"")):
            with open(os.path.join(web, name), "wb") as f:
                f.write(data)
        with open(server.path("secret.txt"), "wb") as f:
            f.write(SECRET)
        os.symlink(server.path("secret.txt"), os.path.join(web, "link.txt"))
        return server

    # --- driving the pages -----------------------------------------------------------------
    def start_page(self, browser, caption):
        """The frame's menu item of that caption, opened."""
        return browser.get(local_target(menu_links(browser.get("/").text)[caption]))

    def update(self, browser, form, values, button="OK"):
        """Submits a form that ends in an update: the answer sends the browser to the site root."""
        response = browser.submit(form, values, button)
        self.assertEqual(response.status, 303, response.text[:2000])
        self.assertEqual(urllib.parse.urlsplit(response.header("Location")).path, "/")
        return response

    def make_company(self, browser, name):
        page = self.start_page(browser, "Make new company").page()
        self.assertEqual(len(page.forms), 1, page.forms)
        self.assertEqual(page.field("Bounce")[3], True)     # the new-row defaults
        self.assertEqual(page.field("Postmaster")[3], False)
        self.update(browser, page.forms[0], {"Name": name, "Postmaster": True})

    def company_link(self, browser, caption, name):
        """Walks a menu item that starts at the company list and answers the company's link."""
        return self.start_page(browser, caption).page().link(name)

    def make_account(self, browser, number, name, password, level, description="", active=True):
        form = self.start_page(browser, "Make new account").page().forms[0]
        self.update(browser, form, {"No": str(number), "Name": name, "Password": password,
                                    "Level": str(level), "Description": description, "Active": active})

    def account_cells(self, browser):
        return browser.get("/admin/mail/accounts?action=30").page().cells

    def pop3_login(self, server, user, password):
        """True when the POP3 server takes the login."""
        client = poplib.POP3(server.address, server.ports["pop3"], timeout=TIMEOUT)
        try:
            client.user(user)
            client.pass_(password)
            return True
        except poplib.error_proto:
            return False
        finally:
            try:
                client.quit()
            except (poplib.error_proto, OSError):
                client.close()

    # --- static files ----------------------------------------------------------------------
    def test_static_files_are_served_from_the_web_folder_only(self):
        server = self.installation()
        browser = Browser(server)
        cases = [  # path, body, Content-Type (None: the extension is not in the table)
            ("/data.raw", BINARY, None),
            ("/Picture.GIF", BINARY[:999], "image/gif"),
            ("/sub/page.html", b"<p>inner page</p>\r\n", "text/html"),
            ("/sub/../data.raw", BINARY, None),
            ("/empty.txt", b"", "text/plain"),
            ("/sub//page.html", b"<p>inner page</p>\r\n", "text/html"),
            ("/%73ub/page%2Ehtml", b"<p>inner page</p>\r\n", "text/html"),
        ]
        for path, body, kind in cases:
            with self.subTest(path=path):
                response = browser.get(path)
                self.assertEqual(response.body, body)
                self.assertEqual(response.header("Content-Type"), kind)
                self.assertEqual(response.header("Content-Length"), str(len(body)))
        head = browser.request("HEAD", "/data.raw")
        self.assertEqual((head.status, head.body, head.header("Content-Length")), (200, b"", str(len(BINARY))))

        # curl as a second client, also for the bytes.
        curl = require_tool("curl")
        done = subprocess.run([curl, "-s", "-f", "--max-time", "10",
                               "http://%s:%d/data.raw" % (server.address, server.ports["http"])],
                              capture_output=True, timeout=30)
        self.assertEqual((done.returncode, done.stdout), (0, BINARY))

        missing = browser.get("/nothing.txt", expect=404)
        self.assertIn("<TITLE>HTTP404 Not Found</TITLE>", missing.text)
        # Ways out of the web folder to a file beside it: none answers with its bytes.
        for path in ["/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt", "/sub/../../secret.txt",
                     "/sub/%2e%2e/%2e%2e/secret.txt", "/..%5csecret.txt", "/link.txt", "/sub/..%2f..%2fsecret.txt",
                     "http://host/../secret.txt", "/./../secret.txt", "/secret.txt%00.html"]:
            with self.subTest(escape=path):
                response = browser.request("GET", path)
                self.assertNotIn(SECRET, response.body)
                self.assertTrue(400 <= response.status < 500, (path, response.status))
        done = subprocess.run([curl, "-s", "--path-as-is", "--max-time", "10",
                               "http://%s:%d/../../secret.txt" % (server.address, server.ports["http"])],
                              capture_output=True, timeout=30)
        self.assertNotIn(SECRET, done.stdout)
        browser.get("/data.raw")  # still serving

    # --- the road through the administration ------------------------------------------------
    def test_mail_road_set_up_through_the_pages(self):
        server = self.installation()
        browser = Browser(server)
        front = browser.get("/")
        self.assertIn("Make new company", menu_links(front.text))

        self.make_company(browser, "Acme")
        # "Make new domain": the company list, then the domain form of the chosen company.
        company = self.company_link(browser, "Make new domain", "Acme")
        form = browser.get(local_target(company)).page().forms[0]
        self.update(browser, form, {"Name": "acme.test"})
        self.make_account(browser, 7, "Ann", "secret", 1)
        # "Make new alias": the company list, the account list, then the alias form.
        company = self.company_link(browser, "Make new alias", "Acme")
        account = browser.get(local_target(company)).page().link("7")
        form = browser.get(local_target(account)).page().forms[0]
        self.update(browser, form, {"Name": "ann", "Active": True})

        # The lists show what was made.
        companies = browser.get("/admin/mail/companies?action=10").page()
        self.assertIn("Acme", companies.cells)
        number = urllib.parse.parse_qs(urllib.parse.urlsplit(companies.link("Acme")).query)["key"][0]
        self.assertIn("acme.test", browser.get("/admin/mail/domains?action=20&key=" + number).page().cells)
        aliases = browser.get("/admin/mail/aliases?action=40&key=" + number).page().cells
        self.assertIn("ann", aliases)
        self.assertIn("7", aliases)
        self.assertIn("Ann", self.account_cells(browser))

        # Mail for ann@acme.test reaches account 7's mailbox.
        message = b"From: <sender@example.com>\r\nTo: <ann@acme.test>\r\nSubject: web road\r\n\r\nhello\r\n"
        sent = clients.smtp_send(server.address, server.ports["smtp"], "sender@example.com",
                                 "ann@acme.test", message)
        self.assertTrue(sent.accepted, sent.replies)
        found = wait_for(lambda: clients.pop3_fetch(server.address, server.ports["pop3"], "user7", "secret"),
                         timeout=20)
        self.assertEqual(len(found), 1, found)
        self.assertTrue(found[0][2].endswith(sent.received), found[0][2])

        # "Edit account info": the account list, then the account's form, filled with its row;
        # a new password takes effect for POP3 at once.
        edit = self.start_page(browser, "Edit account info").page().link("7")
        page = browser.get(local_target(edit)).page()
        self.assertEqual([page.field(name)[2] for name in ("No", "Name", "Level")], ["7", "Ann", "1"])
        self.assertTrue(page.field("Active")[3])
        self.update(browser, page.forms[0], {"Password": "changed"})
        self.assertFalse(self.pop3_login(server, "user7", "secret"))
        self.assertTrue(self.pop3_login(server, "user7", "changed"))

        # "Cancel" on a form changes nothing.
        form = self.start_page(browser, "Make new account").page().forms[0]
        self.update(browser, form, {"No": "8", "Name": "Never"}, button="Cancel")
        self.assertNotIn("Never", self.account_cells(browser))

        # "Remove account": the account list, then the account's link shows the row, and its
        # form removes it (the link alone changes nothing).
        remove = self.start_page(browser, "Remove account").page().link("7")
        confirm = browser.get(local_target(remove)).page()
        self.assertIn("Ann", self.account_cells(browser))
        self.update(browser, confirm.forms[0], {})
        self.assertNotIn("Ann", self.account_cells(browser))
        self.assertFalse(self.pop3_login(server, "user7", "changed"))
        # The removal of a row that is gone already changes nothing and still leads home.
        self.update(browser, browser.get(local_target(remove)).page().forms[0], {})

        # "Remove company" takes its domains and aliases along.
        remove = self.company_link(browser, "Remove company", "Acme")
        self.update(browser, browser.get(local_target(remove)).page().forms[0], {})
        self.assertNotIn("Acme", browser.get("/admin/mail/companies?action=10").page().cells)
        self.assertNotIn("acme.test", browser.get("/admin/mail/domains?action=20&key=" + number).page().cells)
        self.assertNotIn("ann", browser.get("/admin/mail/aliases?action=40").page().cells)
        self.assertNotIn("Exception", [level for level, _ in server.log_lines()], server.log_text())

    def test_entered_markup_and_quotes_come_back_escaped(self):
        server = self.installation()
        browser = Browser(server)
        texts = {
            "company": "<script>alert('c')</script>\"q\"&amp;",
            "account": "<b onmouseover=\"x\">'a'</b>",
            "description": "#sameurl #content <#CONTENT> \"d\"",
            "alias": "<i>\"al'",
        }
        self.make_company(browser, texts["company"])
        self.make_account(browser, 3, texts["account"], "pw", 1, description=texts["description"])
        company = self.company_link(browser, "Make new alias", texts["company"])
        account = browser.get(local_target(company)).page().link("3")
        form = browser.get(local_target(account)).page().forms[0]
        self.update(browser, form, {"Name": texts["alias"], "Description": texts["company"]})

        pages = {
            "companies": browser.get("/admin/mail/companies?action=10"),
            "accounts": browser.get("/admin/mail/accounts?action=30"),
            "aliases": browser.get("/admin/mail/aliases?action=40"),
        }
        for name, response in pages.items():
            with self.subTest(page=name):
                page = response.page()
                # Only the template's own script element; no element from the data.
                self.assertEqual([t for t in page.tags if t in ("script", "b", "i")], ["script"], response.text)
                self.assertNotIn("<script>alert", response.text)
        self.assertIn(texts["company"], pages["companies"].page().cells)
        accounts = pages["accounts"].page().cells
        self.assertIn(texts["account"], accounts)
        self.assertIn(texts["description"], accounts)
        self.assertIn(texts["alias"], pages["aliases"].page().cells)
        # The alias's key travels in the links of "Edit alias info" and finds the row again.
        company = self.company_link(browser, "Edit alias info", texts["company"])
        edit = browser.get(local_target(company)).page().link(texts["alias"])
        form_page = browser.get(local_target(edit)).page()
        self.assertEqual(form_page.field("Name")[2], texts["alias"])
        self.assertEqual(form_page.field("Description")[2], texts["company"])
        # The company's form shows the name as the value of its field, whole.
        edit = browser.get("/admin/mail/companies?action=10&steps=11;12&do=U").page().link(texts["company"])
        self.assertEqual(browser.get(local_target(edit)).page().field("Name")[2], texts["company"])

    # --- security -------------------------------------------------------------------------
    def test_security_switched_on_through_the_configuration_page(self):
        server = self.installation()
        browser = Browser(server)
        self.make_account(browser, 9, "Admin", "Adm1n", 10)
        self.make_account(browser, 5, "User", "us3r", 1)
        self.make_account(browser, 6, "Low", "l0w", 0)
        config = browser.get("/admin/system/config?action=101&steps=102").page()
        self.assertFalse(config.field("Security on")[3])
        self.update(browser, config.forms[0], {"Security on": True})
        with open(server.path("tovenmarsh.cfg"), "rb") as f:
            self.assertIn(b"SecurityOn=Yes\r\n", f.read())

        admin_page = "/admin/mail/companies?action=10"
        # No credentials, wrong ones, unknown users: the challenge, and no session cookie.
        for credentials in [None, basic("user9", "wrong"), basic("user99", "Adm1n"), basic("admin", "Adm1n"),
                            "Basic !!!", "Digest user9"]:
            for path in [admin_page, "/", "/data.raw"]:
                with self.subTest(credentials=credentials, path=path):
                    # From another loopback address: these failures slow that address only.
                    response = Browser(server, credentials, source="127.0.0.3").request("GET", path)
                    self.assertEqual(response.status, 401, response.text[:500])
                    self.assertNotIn("Adm1n", response.text)
                    self.assertEqual([c for c in response.cookies() if c], [])
                    if credentials is None:
                        self.assertEqual(response.header("WWW-Authenticate"), "Basic realm=tovenmarsh")

        self.assertIn('HTTP login of "user9" from 127.0.0.3 failed', server.log_text())
        # An administrator gets in and receives the cookie; the cookie alone then works.
        admin = Browser(server, basic("user9", "Adm1n"))
        response = admin.get(admin_page)
        self.assertTrue(admin.cookie, response.headers)
        self.assertIn("Choose a company from the list.", response.text)
        admin.credentials = None
        admin.get(admin_page)
        admin.get("/data.raw")
        self.assertEqual(admin.get("/admin/system/statistics/server?action=120").page().cells[3], "Threads :")

        # A user-level account reaches "/" but not the admin pages, also with its cookie.
        user = Browser(server, basic("user5", "us3r"))
        self.assertEqual(user.get("/data.raw").body, BINARY)
        self.assertTrue(user.cookie)
        credentials, user.credentials = user.credentials, None
        self.assertEqual(user.request("GET", admin_page).status, 401)
        self.assertEqual(user.get("/data.raw").body, BINARY)
        # Credentials refused for an area also clear the cookie.
        user.credentials = credentials
        self.assertEqual(user.request("GET", admin_page).status, 401)
        self.assertIsNone(user.cookie)
        # Below the user level nothing is reachable.
        self.assertEqual(Browser(server, basic("user6", "l0w")).request("GET", "/").status, 401)
        # A forged cookie is only credentials: wrong ones are refused.
        forged = Browser(server)
        forged.cookie = basic("user9", "guess")
        self.assertEqual(forged.request("GET", admin_page).status, 401)

        # Real clients: curl logs in with -u and keeps the cookie in its jar, then gets in with
        # the jar alone (sent beside a cookie of another name); urllib answers the challenge
        # and then gets in with its cookie jar alone.
        url = "http://%s:%d%s" % (server.address, server.ports["http"], admin_page)
        curl = require_tool("curl")
        jar = os.path.join(server.workdir, "cookies.txt")
        for args in (["-u", "user9:Adm1n", "-c", jar], ["-b", jar, "-b", "xtmid=junk"], ["-u", "user5:us3r"]):
            with self.subTest(curl=args):
                done = subprocess.run([curl, "-s", "--max-time", "10", *args, "-o", "/dev/null", "-w", "%{http_code}",
                                       url], capture_output=True, timeout=30)
                self.assertEqual(done.stdout, b"401" if "user5:us3r" in args else b"200")
        cookies = http.cookiejar.CookieJar()
        passwords = urllib.request.HTTPPasswordMgrWithDefaultRealm()
        passwords.add_password(None, url, "user9", "Adm1n")
        with urllib.request.build_opener(urllib.request.HTTPCookieProcessor(cookies),
                                         urllib.request.HTTPBasicAuthHandler(passwords)).open(url, timeout=TIMEOUT) as r:
            self.assertEqual(r.status, 200)
        self.assertEqual([c.name for c in cookies], ["tmid"])
        with urllib.request.build_opener(urllib.request.HTTPCookieProcessor(cookies)).open(url, timeout=TIMEOUT) as r:
            self.assertIn(b"Choose a company from the list.", r.read())

        # The saved configuration holds at the next start. Sessions live in memory only and the
        # cookie holds nothing but the session's id: after the restart it admits nobody, and
        # the credentials log in again.
        with open(server.path("tovenmarsh.cfg"), "rb") as f:
            server.config = dict(line.split("=", 1) for line in f.read().decode("latin-1").splitlines()
                                 if "=" in line)
        self.restart(server)
        self.assertEqual(Browser(server).request("GET", admin_page).status, 401)
        self.assertEqual(admin.request("GET", admin_page).status, 401)
        admin.credentials = basic("user9", "Adm1n")
        self.assertIn("Choose a company from the list.", admin.get(admin_page).text)
        admin.credentials = None

        # An admin page's action reached through another path is still an admin page.
        user = Browser(server, basic("user5", "us3r"))
        body = urllib.parse.urlencode({"Name": "Sneaky", "Perform": "OK"})
        self.assertEqual(user.request("POST", "/admin/mail/companies?action=12&do=U", body=body).status, 401)
        for path in ["/admin/mail/companies?action=12&do=U&Name=Sneaky", "/?action=12&do=U&Name=Sneaky",
                     "/ADMIN/mail/companies?action=12&do=U&Name=Sneaky", "/search?action=10",
                     "/x.y/admin/mail/companies?action=10", "/admin/system/config?action=102&Security+on=",
                     "http://host/admin/mail/companies?action=10"]:
            with self.subTest(user_path=path):
                self.assertEqual(user.request("GET", path).status, 401)
        self.assertEqual(user.request("POST", "/?action=12&do=U", body=body).status, 401)
        self.assertNotIn("Sneaky", admin.get(admin_page).page().cells)

        # Switched off again through the page: everyone is admitted.
        config = admin.get("/admin/system/config?action=101&steps=102").page()
        self.assertTrue(config.field("Security on")[3])
        self.update(admin, config.forms[0], {"Security on": False})
        self.assertEqual(Browser(server).get(admin_page).status, 200)
        self.assertNotIn("Exception", [level for level, _ in server.log_lines()], server.log_text())

    # --- malformed requests ----------------------------------------------------------------
    def raw(self, server, data):
        """Sends raw bytes; answers what the server sends until it closes (bounded)."""
        with socket.create_connection((server.address, server.ports["http"]), timeout=TIMEOUT) as s:
            try:
                s.sendall(data)
            except OSError:
                pass  # a server that refuses early may close before all is sent
            try:
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # already closed by the server
            received = b""
            while True:
                try:
                    chunk = s.recv(65536)
                except ConnectionResetError:
                    break
                if not chunk:
                    break
                received += chunk
            return received

    def test_server_survives_malformed_requests(self):
        server = self.installation()
        browser = Browser(server)
        params = b"a=1&" * 20_000
        # name, bytes, whether the request must be refused (4xx or 5xx); a refusal may also come
        # as a reset that drops the answer (the server closes with unread input).
        cases = [
            ("garbage", b"\x00\xff\xfe garbage \x01\r\n\r\n", False),
            ("no version", b"GET\r\n\r\n", False),
            ("bad escape", b"GET /%zz%4 HTTP/1.1\r\n\r\n", False),
            ("huge header", b"GET / HTTP/1.1\r\nX-Big: " + b"a" * 4_000_000 + b"\r\n\r\n", True),
            ("huge request line", b"GET /" + b"b" * 1_000_000 + b" HTTP/1.1\r\n\r\n", True),
            ("many headers", b"GET / HTTP/1.1\r\n" + b"X: y\r\n" * 200_000 + b"\r\n", True),
            ("bare line feeds", b"GET / HTTP/1.1\nHost: x\n\n", False),
            ("negative length", b"POST /admin/mail/companies?action=12&do=U HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
             True),
            ("huge length", b"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\nabc", True),
            ("chunked", b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", True),
            ("many parameters", b"POST /admin/mail/companies?action=10 HTTP/1.1\r\nContent-Length: %d\r\n\r\n"
             % len(params) + params, True),
        ]
        for name, data, refused in cases:
            with self.subTest(case=name):
                answer = self.raw(server, data)
                if answer:
                    self.assertRegex(answer, rb"^HTTP/1\.1 \d{3} ")
                    status = int(answer[9:12])
                    self.assertTrue(400 <= status < 600 if refused else status == 200 or 400 <= status < 600,
                                    answer[:300])
                self.assertEqual(browser.get("/data.raw").body, BINARY)

        # A slow partial request holds its connection while others are served, and is then
        # abandoned; so is one that stops inside its body.
        partial = socket.create_connection((server.address, server.ports["http"]), timeout=TIMEOUT)
        body_partial = socket.create_connection((server.address, server.ports["http"]), timeout=TIMEOUT)
        try:
            partial.sendall(b"GET /data.raw HTTP/1.1\r\nHost: loc")
            body_partial.sendall(b"POST /admin/mail/companies?action=12&do=U HTTP/1.1\r\n"
                                 b"Content-Length: 100\r\n\r\nName=Half")
            for _ in range(3):
                self.assertEqual(browser.get("/data.raw").body, BINARY)
        finally:
            partial.close()
            body_partial.close()
        self.assertNotIn("Half", browser.get("/admin/mail/companies?action=10").page().cells)

        # Pipelined keep-alive requests on one connection are answered in order.
        answer = self.raw(server, b"GET /empty.txt HTTP/1.1\r\n\r\nGET /sub/page.html HTTP/1.1\r\n"
                                  b"Connection: close\r\n\r\n")
        self.assertEqual(answer.count(b"HTTP/1.1 200 OK\r\n"), 2, answer)
        self.assertTrue(answer.endswith(b"<p>inner page</p>\r\n"), answer)

        # The exception page, not a dead connection, for a page whose template is gone.
        os.unlink(server.path("webroot", "template.html"))
        response = browser.get("/admin/mail/companies?action=10")
        self.assertEqual(response.header("Connection"), "close")
        self.assertIn("<p>", response.text)
        self.assertEqual(browser.get("/data.raw").body, BINARY)


if __name__ == "__main__":
    main()

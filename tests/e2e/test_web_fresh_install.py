#!/usr/bin/env python3
"""A fresh installation as a user meets it, with a port offset (so never on port 80):
- the program writes its default web folder, and "/" shows the shipped template with the
  menu and the search form, no placeholder left, every link naming the host and port the
  browser asked for; a file the user changed is kept over a restart, a removed one comes back;
- the session cookie holds a random id (HttpOnly, SameSite=Strict), never credentials;
- data changes only by POST with the form's token: a company is made, edited and removed
  through the pages' own forms, while a link, a forged POST and a POST without the token
  change nothing;
- a request line of binary garbage gets 400 and the connection closes; error pages name no
  path of the installation;
- the first administrator is made and security switched on through the pages: then a login
  is needed, a failed one is logged with the client's address, and a session ends with logout.
"""
import base64
import html.parser
import os
import re
import socket
import urllib.parse

import support
from support import web
from support.testing import TestCase, main

TIMEOUT = 10.0
REPOSITORY_WEBROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "webroot")
PLACEHOLDERS = ("#version", "#menu", "#description", "#content", "#newurl", "#sameurl", "#token", "<#")


class Forms(html.parser.HTMLParser):
    """The forms of a page (method, action, fields) and its links (href, text)."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.forms, self.links, self._link = [], [], None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append({"method": a.get("method", "GET").upper(), "action": a.get("action", ""),
                               "fields": []})
        elif tag == "input" and self.forms:
            self.forms[-1]["fields"].append((a.get("name", ""), a.get("type", "text"), a.get("value", ""),
                                             "checked" in a))
        elif tag == "a":
            self._link = [a.get("href", ""), ""]

    def handle_data(self, data):
        if self._link is not None:
            self._link[1] += data

    def handle_endtag(self, tag):
        if tag == "a" and self._link is not None:
            self.links.append(tuple(self._link))
            self._link = None


def menu(text):
    return dict(re.findall(r'\["([^"]*)","([^"]*)",1,0,[01]\]', text))


def target(url):
    parts = urllib.parse.urlsplit(url)
    return parts.path + ("?" + parts.query if parts.query else "")


class Browser:
    """Keeps the session cookie; sends Basic credentials when it has them."""

    def __init__(self, server, credentials=None):
        self.server, self.credentials, self.cookie = server, credentials, None

    def send(self, method, path, body=None):
        headers = {"Authorization": self.credentials} if self.credentials else {}
        answer = web.request(self.server, method, path, body=body, cookie=self.cookie, headers=headers,
                             timeout=TIMEOUT)
        cookie = answer.session_cookie()
        if cookie is not None:
            self.cookie = cookie or None
        return answer

    def submit(self, form, values, button="OK"):
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
        return self.send(form["method"], target(form["action"]), urllib.parse.urlencode(pairs))


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


class FreshInstall(TestCase):
    def test_fresh_install_serves_its_pages_safely(self):
        server = self.use(support.Server(self.need_binary(), wait_ports=("smtp", "pop3", "http")))
        port = server.ports["http"]
        self.assertNotEqual(port, 80)
        here = "http://%s:%d/" % (server.address, port)

        # The default web folder, as shipped.
        for name in ("template.html", "searchform.html", "tovenmarsh.css", "menu.js"):
            with open(server.path("webroot", name), "rb") as f, open(os.path.join(REPOSITORY_WEBROOT, name), "rb") as g:
                self.assertEqual(f.read(), g.read(), name)
        css = web.request(server, "GET", "/tovenmarsh.css")
        self.assertEqual((css.status, css.header("Content-Type")), (200, "text/css"))

        # "/": the template with the menu and the search form; every link names this host and port.
        front = web.request(server, "GET", "/")
        self.assertEqual(front.status, 200, front.text[:2000])
        for tag in PLACEHOLDERS:
            self.assertNotIn(tag, front.text)
        self.assertIn("Search for information in mail database.", front.text)
        self.assertIn('action="/searchfor"', front.text)
        links = re.findall(r'http://[^"\s]*', front.text)
        self.assertGreater(len(links), 30)
        self.assertEqual([link for link in links if not link.startswith(here)], [])
        other = web.request(server, "GET", "/", headers={"Host": "localhost:%d" % port})
        self.assertIn('"http://localhost:%d/admin/mail/companies?action=11&steps=12&do=U"' % port, other.text)
        self.assertEqual(front.session_cookie(), None, "a page without a form needs no session")

        # A company through the menu's forms.
        browser = Browser(server)
        page = browser.send("GET", target(menu(front.text)["Make new company"]))
        cookie = page.header("Set-Cookie")
        self.assertRegex(cookie, r"^tmid=[0-9a-f]{32}; Path=/; HttpOnly; SameSite=Strict$")
        form = Forms(page.text).forms[0]
        self.assertEqual(form["method"], "POST")
        self.assertTrue(form["action"].startswith(here), form["action"])
        self.assertIn(("token", "hidden"), [(name, kind) for name, kind, _, _ in form["fields"]])
        made = browser.submit(form, {"Name": "Acme"})
        self.assertEqual((made.status, made.header("Location")), (303, here))
        companies = lambda: Forms(browser.send("GET", "/admin/mail/companies?action=10").text).links
        self.assertIn("Acme", [text for _, text in companies()])
        key = urllib.parse.parse_qs(urllib.parse.urlsplit(dict((t, h) for h, t in companies())["Acme"]).query)["key"][0]

        # What must change nothing: a link, a POST without the token, a POST from elsewhere
        # (no cookie) with a stolen token, an empty name.
        update = "/admin/mail/companies?action=12&do=U&key=%s" % key
        remove = "/admin/mail/companies?action=12&do=R&key=%s" % key
        token = dict((n, v) for n, _, v, _ in form["fields"])["token"]
        self.assertEqual(browser.send("GET", remove).status, 200)
        self.assertEqual(browser.send("GET", update + "&Name=Evil").status, 200)
        self.assertEqual(browser.send("POST", remove, "Perform=OK").status, 403)
        self.assertEqual(web.request(server, "POST", remove, body="Perform=OK&token=" + token).status, 403)
        empty = browser.send("POST", update, urllib.parse.urlencode({"Name": "", "Perform": "OK", "token": token}))
        self.assertEqual(empty.status, 200)
        self.assertIn("Enter &quot;Name&quot;.", empty.text)
        self.assertEqual([text for _, text in companies() if text in ("Acme", "Evil", "")], ["Acme"])

        # Edit and remove through the forms that the update links show.
        edit = Forms(browser.send("GET", update).text).forms[0]
        self.assertEqual(browser.submit(edit, {"Name": "Acme Ltd"}).status, 303)
        confirm = browser.send("GET", remove)
        self.assertIn("Press OK to remove this entry", confirm.text)
        self.assertEqual(browser.submit(Forms(confirm.text).forms[0], {}).status, 303)
        self.assertNotIn("Acme Ltd", [text for _, text in companies()])

        # Garbage gets 400 and the connection closes; error pages name no path.
        with socket.create_connection((server.address, port), timeout=TIMEOUT) as s:
            s.sendall(b"\x00\xff\xfe garbage \x01\r\n\r\n")
            answer = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 Bad Request\r\n"), answer[:200])
        self.assertIn(b"Connection: close\r\n", answer)
        folder = os.path.realpath(server.path(""))
        self.assertNotIn(folder, web.request(server, "GET", "/missing.txt").text)
        os.rename(server.path("webroot", "template.html"), server.path("webroot", "template.old"))
        broken = web.request(server, "GET", "/admin/mail/companies?action=10")
        self.assertEqual(broken.status, 200)
        self.assertIn("<p>", broken.text)
        self.assertNotIn(folder, broken.text)
        self.assertNotIn("webroot", broken.text)
        os.rename(server.path("webroot", "template.old"), server.path("webroot", "template.html"))

        # A restart keeps the user's template and brings back a removed file.
        with open(server.path("webroot", "template.html"), "ab") as f:
            f.write(b"<!-- mine -->\r\n")
        os.unlink(server.path("webroot", "menu.js"))
        server.stop()
        server.start()
        with open(server.path("webroot", "template.html"), "rb") as f:
            self.assertTrue(f.read().endswith(b"<!-- mine -->\r\n"))
        self.assertTrue(os.path.isfile(server.path("webroot", "menu.js")))

        # The first administrator, then security on (as the README says).
        browser = Browser(server)
        page = browser.send("GET", target(menu(web.request(server, "GET", "/").text)["Make new account"]))
        made = browser.submit(Forms(page.text).forms[0],
                              {"No": "9", "Name": "Admin", "Password": "Adm1n", "Level": "10", "Active": True})
        self.assertEqual(made.status, 303, made.text[:2000])
        config = Forms(browser.send("GET", "/admin/system/config?action=101&steps=102").text).forms[0]
        self.assertEqual(browser.submit(config, {"Security on": True}).status, 303)
        admin_page = "/admin/mail/companies?action=10"
        self.assertEqual(web.request(server, "GET", admin_page).status, 401)
        self.assertEqual(Browser(server, basic("user9", "wrong")).send("GET", admin_page).status, 401)
        self.assertIn("HTTP login of \"user9\" from 127.0.0.1 failed", server.log_text())
        admin = Browser(server, basic("user9", "Adm1n"))
        self.assertEqual(admin.send("GET", admin_page).status, 200)
        self.assertRegex(admin.cookie or "", r"^[0-9a-f]{32}$")
        admin.credentials = None
        self.assertEqual(admin.send("GET", admin_page).status, 200)
        # Logout ends the session on the server: the same cookie admits nobody.
        ended = admin.cookie
        self.assertEqual(admin.send("GET", "/logout").status, 303)
        self.assertIsNone(admin.cookie)
        self.assertEqual(web.request(server, "GET", admin_page, cookie=ended).status, 401)


if __name__ == "__main__":
    main()

"""The web administration as its own pages drive it: an update is a POST that carries the form
token of the browser's session, so a script first opens the page (which gives the session
cookie and the form with its token) and then sends the form back."""
import http.client
import re
import urllib.parse

from .net import HarnessError

TOKEN = re.compile(r'name="token" value="([0-9a-f]{32})"')


class Answer:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def header(self, name):
        values = [v for k, v in self.headers if k.lower() == name.lower()]
        return values[0] if values else None

    @property
    def text(self):
        return self.body.decode("latin-1")

    def session_cookie(self):
        """The "tmid" value this answer sets, or None."""
        for name, value in self.headers:
            if name.lower() == "set-cookie" and value.startswith("tmid="):
                return value.split(";", 1)[0][5:]
        return None


def request(server, method, target, body=None, cookie=None, headers=None, timeout=10.0):
    connection = http.client.HTTPConnection(server.address, server.ports["http"], timeout=timeout)
    try:
        sent = dict(headers or {})
        if cookie:
            sent["Cookie"] = "tmid=" + cookie
        if body is not None:
            sent["Content-Type"] = "application/x-www-form-urlencoded"
        connection.request(method, target, body=body, headers=sent)
        answer = connection.getresponse()
        return Answer(answer.status, answer.getheaders(), answer.read())
    finally:
        connection.close()


def post_update(server, target, fields, timeout=10.0):
    """Opens the update's page (an update asked for by GET shows its form), then posts the
    fields with that form's token and the session cookie; answers the POST's answer."""
    page = request(server, "GET", target, timeout=timeout)
    found = TOKEN.search(page.text)
    cookie = page.session_cookie()
    if page.status != 200 or not found or not cookie:
        raise HarnessError("no form with a token at %s: %d\n%s" % (target, page.status, page.text[:2000]))
    body = urllib.parse.urlencode(dict(fields, Perform="OK", token=found.group(1)))
    return request(server, "POST", target, body=body, cookie=cookie, timeout=timeout)

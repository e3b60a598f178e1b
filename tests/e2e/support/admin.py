"""The administration tool (tools/tovenmarsh_admin) for scripts that fill the tables of a
stopped server: found beside the build of the binary (<build>/tools/tovenmarsh_admin) or given
with --admin <path> on the command line."""
import os
import subprocess
import sys

from .net import HarnessError


def admin_tool(binary):
    for i, arg in enumerate(sys.argv):
        if arg == "--admin" and i + 1 < len(sys.argv):
            return os.path.abspath(sys.argv[i + 1])
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(binary))))
    return os.path.join(build, "tools", "tovenmarsh_admin")


class Admin:
    """Runs the tool on one server's database folder (the server must be stopped)."""

    def __init__(self, binary, server):
        self.tool = admin_tool(binary)
        self.server = server
        if not os.path.isfile(self.tool):
            raise HarnessError("no administration tool at %s (build the tovenmarsh_admin target)" % self.tool)

    def __call__(self, *args):
        os.makedirs(self.server.db_folder, exist_ok=True)
        done = subprocess.run([self.tool, self.server.db_folder, *args], capture_output=True, timeout=60)
        if done.returncode != 0:
            raise HarnessError("tovenmarsh_admin %s: exit %d\n%s"
                               % (" ".join(args), done.returncode, done.stderr.decode("latin-1")))
        return done.stdout.decode("latin-1")

    def rows(self, table):
        """The rows of a table file as dicts of field name -> text (escapes kept)."""
        return [dict(field.split("=", 1) for field in line.split("\t"))
                for line in self("dump", table).splitlines()]

    def local_user(self, company_name, domain, number, name, password, alias):
        """A company with one domain and one account reached as alias@domain; answers the
        company's number."""
        company = self("add-company", company_name).strip()
        self("add-domain", company, domain)
        self("add-account", str(number), name, password)
        self("add-alias", alias, company, str(number))
        return company

"""One wineserver for a whole run: without it every program started under
Wine brings up and tears down its own, a few seconds each time."""

import os
import subprocess


def wine_environment(prefix):
    """The environment a test program runs in: its own prefix, no debug
    output, no Mono or Gecko install prompts, no proxy for the loopback."""
    environment = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=")
    for proxy in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                  "ALL_PROXY"):
        environment.pop(proxy, None)
    return environment


class WineSession:
    """Keeps a wineserver for `prefix` running while the block runs."""

    def __init__(self, wine, prefix):
        self.wine = wine
        self.server = os.path.join(os.path.dirname(wine), "wineserver")
        self.environment = wine_environment(prefix)
        os.makedirs(prefix, exist_ok=True)

    def __enter__(self):
        subprocess.run([self.server, "--persistent"], env=self.environment, check=False)
        # The prefix's long-lived helpers (services, explorer) start here, with
        # no pipe of ours: started by a test program whose output is captured,
        # they would hold its pipes open and the capture would never end.
        subprocess.run([self.wine, "wineboot", "--init"], env=self.environment, check=False,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return self

    def __exit__(self, *exc):
        subprocess.run([self.server, "--kill"], env=self.environment, check=False)
        subprocess.run([self.server, "--wait"], env=self.environment, check=False)
        return False

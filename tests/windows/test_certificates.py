"""Certificates made when the tests run, with the openssl command (none is
committed, so none expires): a trusted CA, an untrusted one, and leaves for
the TLS services on 127.0.0.1.

`openssl ca` signs the leaves, since in OpenSSL 3.0 it alone takes explicit
start and end dates (an expired or not yet valid leaf needs both)."""

import datetime
import os
import ssl
import subprocess

# 127.0.0.1 as an IP address entry, which OpenSSL matches an IP address URL
# against (RFC 2818, 3.1), and as a DNS name, the only kind Wine 8's crypt32
# compares (dlls/crypt32/chain.c, match_dns_to_subject_alt_name).
LOOPBACK = "IP:127.0.0.1,DNS:127.0.0.1"

# name -> (issuing CA, subjectAltName, days from now the leaf is valid from, to)
LEAVES = {
    "good": ("trusted", LOOPBACK, -1, 30),
    "ip-only": ("trusted", "IP:127.0.0.1", -1, 30),
    "untrusted": ("other", LOOPBACK, -1, 30),
    "wrong-name": ("trusted", "DNS:elsewhere.test,IP:127.0.0.2", -1, 30),
    "expired": ("trusted", LOOPBACK, -30, -1),
    "not-yet-valid": ("trusted", LOOPBACK, 1, 30),
}

CA_CONFIG = """[ca]
default_ca = test_ca
[test_ca]
database = {dir}/index.txt
new_certs_dir = {dir}
serial = {dir}/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
"""
LEAF_EXTENSIONS = """basicConstraints = critical,CA:FALSE
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = %s
"""


def openssl(*arguments):
    done = subprocess.run(("openssl",) + arguments, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (arguments[0], done.stderr.decode()))


def stamp(days):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return moment.strftime("%Y%m%d%H%M%SZ")


class TestCertificates:
    """Makes the CAs and leaves in `directory` (which the caller removes).
    ca_pem and ca_der: the trusted CA; context(name): a server context for
    a leaf of LEAVES, its chain sent whole."""

    def __init__(self, directory):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        for ca, common_name in (("trusted", "NalPoi test CA"), ("other", "Some other CA")):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", "/CN=" + common_name, "-keyout", self.path(ca + ".key"),
                    "-out", self.path(ca + ".pem"),
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self.ca_pem = self.path("trusted.pem")
        self.ca_der = self.path("trusted.der")
        openssl("x509", "-in", self.ca_pem, "-outform", "DER", "-out", self.ca_der)
        # One key and request for every leaf; only the certificates differ.
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=nalpoi test service",
                "-keyout", self.path("leaf.key"), "-out", self.path("leaf.csr"))
        with open(self.path("ca.cnf"), "w") as config:
            config.write(CA_CONFIG.format(dir=self.dir))
        open(self.path("index.txt"), "w").close()
        with open(self.path("serial"), "w") as serial:
            serial.write("1000\n")
        for name, (ca, alt_names, start, end) in LEAVES.items():
            with open(self.path(name + ".ext"), "w") as extensions:
                extensions.write(LEAF_EXTENSIONS % alt_names)
            openssl("ca", "-batch", "-notext", "-config", self.path("ca.cnf"), "-extfile", self.path(name + ".ext"),
                    "-cert", self.path(ca + ".pem"), "-keyfile", self.path(ca + ".key"),
                    "-startdate", stamp(start), "-enddate", stamp(end),
                    "-in", self.path("leaf.csr"), "-out", self.path(name + ".crt"))
            with open(self.path(name + ".chain"), "wb") as chain:
                for part in (name + ".crt", ca + ".pem"):
                    with open(self.path(part), "rb") as pem:
                        chain.write(pem.read())

    def path(self, name):
        return os.path.join(self.dir, name)

    def context(self, name):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.path(name + ".chain"), self.path("leaf.key"))
        return context

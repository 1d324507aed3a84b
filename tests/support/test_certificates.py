#!/usr/bin/env python3
"""The tests' one maker of certificates, made when the tests run with the
openssl command (none is committed, so none expires). Used as a module by
the Python drivers (TestCertificates: a trusted CA, an untrusted one, and
leaves for the TLS services on 127.0.0.1), and as a command by the C++ test
support (tests/support/test_certificates.cpp) and scripts/demo:

    test_certificates.py DIR ca NAME COMMON_NAME
        a CA: DIR/NAME.pem (also DIR/NAME.der) and DIR/NAME.key
    test_certificates.py DIR leaf NAME CA SUBJECT_ALT_NAME FROM_DAYS TO_DAYS
        a leaf that the CA of DIR/CA.pem signs, valid from FROM_DAYS to
        TO_DAYS days after now (negative: in the past): DIR/NAME.chain (the
        leaf, then its CA) with the key DIR/leaf.key, which every leaf of DIR
        shares

`openssl ca` signs the leaves, since in OpenSSL 3.0 it alone takes explicit
start and end dates (an expired or not yet valid leaf needs both)."""

import datetime
import os
import ssl
import subprocess
import sys

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


def make_ca(directory, name, common_name):
    """A CA certificate and key in `directory`: NAME.pem, NAME.der, NAME.key."""
    path = os.path.join(directory, name)
    os.makedirs(directory, exist_ok=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
            "-subj", "/CN=" + common_name, "-keyout", path + ".key", "-out", path + ".pem",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("x509", "-in", path + ".pem", "-outform", "DER", "-out", path + ".der")


def issue(directory, name, ca, alt_names, start, end):
    """A leaf of the CA `ca` in `directory`: NAME.crt and NAME.chain, with
    the key leaf.key that every leaf there shares (made with the first)."""
    def path(part):
        return os.path.join(directory, part)
    if not os.path.exists(path("leaf.key")):
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=nalpoi test service",
                "-keyout", path("leaf.key"), "-out", path("leaf.csr"))
        with open(path("ca.cnf"), "w") as config:
            config.write(CA_CONFIG.format(dir=directory))
        open(path("index.txt"), "w").close()
        with open(path("serial"), "w") as serial:
            serial.write("1000\n")
    with open(path(name + ".ext"), "w") as extensions:
        extensions.write(LEAF_EXTENSIONS % alt_names)
    openssl("ca", "-batch", "-notext", "-config", path("ca.cnf"), "-extfile", path(name + ".ext"),
            "-cert", path(ca + ".pem"), "-keyfile", path(ca + ".key"),
            "-startdate", stamp(start), "-enddate", stamp(end),
            "-in", path("leaf.csr"), "-out", path(name + ".crt"))
    with open(path(name + ".chain"), "wb") as chain:
        for part in (name + ".crt", ca + ".pem"):
            with open(path(part), "rb") as pem:
                chain.write(pem.read())


class TestCertificates:
    """Makes the CAs and LEAVES in `directory` (which the caller removes).
    ca_pem and ca_der: the trusted CA; context(name): a server context for
    a leaf of LEAVES, its chain sent whole."""

    def __init__(self, directory):
        self.dir = directory
        for ca, common_name in (("trusted", "NalPoi test CA"), ("other", "Some other CA")):
            make_ca(directory, ca, common_name)
        self.ca_pem = self.path("trusted.pem")
        self.ca_der = self.path("trusted.der")
        for name, (ca, alt_names, start, end) in LEAVES.items():
            issue(directory, name, ca, alt_names, start, end)

    def path(self, name):
        return os.path.join(self.dir, name)

    def context(self, name):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.path(name + ".chain"), self.path("leaf.key"))
        return context


def main(argv):
    if len(argv) == 5 and argv[2] == "ca":
        make_ca(argv[1], argv[3], argv[4])
    elif len(argv) == 8 and argv[2] == "leaf":
        issue(argv[1], argv[3], argv[4], argv[5], int(argv[6]), int(argv[7]))
    else:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except RuntimeError as failure:
        print("test_certificates.py: %s" % failure, file=sys.stderr)
        sys.exit(1)

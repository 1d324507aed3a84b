"""Throwaway certificates for the tool tests, made with the openssl command
when the tests run: a CA, and leaves it signs for the names given."""

import os
import subprocess

NEW_KEY = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"


def openssl(folder, command):
    subprocess.run(["openssl", *command.split()], check=True, capture_output=True, cwd=folder)


def make_ca(folder, name):
    """<folder>/<name>.pem and .key: a self-signed CA."""
    os.makedirs(folder, exist_ok=True)
    openssl(folder, f"req -x509 {NEW_KEY} -subj /CN={name} -keyout {name}.key -out {name}.pem")
    return os.path.join(folder, name + ".pem")


def issue(folder, ca, name, alt_names="IP:127.0.0.1,DNS:localhost"):
    """<folder>/<name>.pem and .key: a leaf signed by CA <ca> for alt_names;
    returns the --tls-cert and --tls-key arguments of nalpoi-service."""
    openssl(folder, f"req {NEW_KEY} -subj /CN={name} -addext subjectAltName={alt_names}"
                    f" -keyout {name}.key -out {name}.csr")
    openssl(folder, f"x509 -req -in {name}.csr -CA {ca}.pem -CAkey {ca}.key -copy_extensions copy"
                    f" -out {name}.pem")
    return ["--tls-cert", os.path.join(folder, name + ".pem"),
            "--tls-key", os.path.join(folder, name + ".key")]

"""An S3 service on localhost (moto's server) for the tests of stores at URLs."""

import logging
from types import SimpleNamespace

import pytest

SECRET = "SECRETKEY1234"


@pytest.fixture(scope="session")
def s3_service():
    """Yields an object with `url(bucket, prefix)` (an s3:// URL whose user part and
    query carry the credentials and the endpoint), `fs` (a pyarrow file system
    on the service) and `bucket(name)` (makes a bucket)."""
    server_mod = pytest.importorskip("moto.server", reason="moto is not installed (extra vornix[test])")
    from pyarrow import fs as pafs

    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = server_mod.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    endpoint = "%s:%d" % (host, port)
    fs = pafs.S3FileSystem(access_key="testing", secret_key=SECRET, endpoint_override=endpoint,
                           scheme="http", region="us-east-1", allow_bucket_creation=True)

    def url(bucket, prefix):
        return "s3://testing:%s@%s/%s?endpoint_override=%s&scheme=http&region=us-east-1" % (
            SECRET, bucket, prefix, endpoint)

    def bucket(name):
        fs.create_dir(name)
        return name

    try:
        yield SimpleNamespace(url=url, fs=fs, bucket=bucket, endpoint=endpoint)
    finally:
        server.stop()


def listing(fs, base):
    """{path: size} of every file under `base`."""
    from pyarrow import fs as pafs

    found = fs.get_file_info(pafs.FileSelector(base, recursive=True, allow_not_found=True))
    return {f.path: f.size for f in found if f.type == pafs.FileType.File}

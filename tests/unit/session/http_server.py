#!/usr/bin/python3
# A small HTTP server for the version-check tests: serves the files of ROOT on a free loopback
# port (printed as the first line), answers 404 for anything else, sends files whose name
# contains "chunked" without a size (chunked transfer encoding), answers a file whose name ends
# in ".redirect" with a 302 to the address it holds, and appends every request path to
# ROOT/requests.log. With CERT and KEY after ROOT it speaks https.
import http.server
import os
import sys

root = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        with open(os.path.join(root, "requests.log"), "a") as log:
            log.write(self.path + "\n")
        name = self.path.split("?", 1)[0].lstrip("/")
        full = os.path.join(root, name)
        if not name or "/" in name or not os.path.isfile(full):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(full, "rb") as f:
            data = f.read()
        if name.endswith(".redirect"):
            self.send_response(302)
            self.send_header("Location", data.decode().strip())
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if "chunked" in name:
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for at in range(0, len(data), 1000):
                part = data[at:at + 1000]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
if len(sys.argv) > 3:
    import ssl
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()

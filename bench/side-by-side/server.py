# A 1 MiB file with a Last-Modified of 2023-11-14 on 127.0.0.1:8960; logs each request's
# User-Agent and X-Test into the file named by its argument.
import http.server, sys, email.utils
BODY = bytes(range(256)) * 4096  # 1 MiB
MTIME = email.utils.formatdate(1700000000, usegmt=True)
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def log_message(self, *a): pass
    def do_GET(self):
        with open(sys.argv[1], 'a') as f:
            f.write('%s UA=%s X-Test=%s\n' % (self.path, self.headers.get('User-Agent'), self.headers.get('X-Test')))
        self.send_response(200)
        self.send_header('Content-Length', str(len(BODY)))
        self.send_header('Last-Modified', MTIME)
        self.send_header('Content-Type', 'application/octet-stream')
        self.end_headers()
        for i in range(0, len(BODY), 65536):
            self.wfile.write(BODY[i:i+65536])
http.server.ThreadingHTTPServer(('127.0.0.1', 8960), H).serve_forever()

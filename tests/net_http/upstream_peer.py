"""An HTTP upstream for the reverse-proxy tests, written on raw sockets so
each reply is framed exactly as a test needs. Prints its port, then serves
until killed. The reply depends on the path's last element:

  echo       200 with the request as received (head and body) as its body
  chunked    200 with a chunked body "hello world" and hop-by-hop headers
  head       200 "Content-Length: 1234" and no body (as to a HEAD)
  nocontent  204
  early      closes without replying
  half       announces 100 bytes, sends 10, closes
  closed     a body framed by the close
  slow       replies after 5 seconds
"""
import socket
import sys
import threading
import time


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def reply_for(request):
    target = request.split(b" ", 2)[1]
    last = target.split(b"?")[0].rstrip(b"/").split(b"/")[-1]
    if last == b"echo":
        return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(request), request)
    if last == b"chunked":
        return (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive, X-Private\r\n"
                b"Keep-Alive: timeout=5\r\nX-Private: hop\r\nX-Up: 1\r\n\r\n"
                b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n")
    if last == b"head":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n"
    if last == b"nocontent":
        return b"HTTP/1.1 204 No Content\r\nX-Up: 1\r\n\r\n"
    if last == b"early":
        return b""
    if last == b"half":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"
    if last == b"closed":
        return b"HTTP/1.1 200 OK\r\n\r\nuntil the close"
    if last == b"slow":
        time.sleep(5)
        return b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlate"
    return b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"


def serve(conn):
    with conn:
        try:
            request = read_request(conn)
            if request is not None:
                conn.sendall(reply_for(request))
        except OSError:
            pass


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())

"""WebSocket peer for the integration tests: talks to an echo server and
prints one line per check, then "ALL OK" when every check passed."""
import asyncio
import sys

import websockets


async def fragmented_with_ping(uri):
    async with websockets.connect(uri) as ws:
        async def parts():
            yield "Hel"
            pong = await ws.ping(b"between")
            yield "lo"
            await asyncio.wait_for(pong, 5)
        await ws.send(parts())
        echo = await asyncio.wait_for(ws.recv(), 5)
        assert echo == "Hello", repr(echo)
    print("fragments with a ping between: ok")


async def frame_sizes(uri):
    async with websockets.connect(uri, max_size=1 << 20) as ws:
        for n in (125, 126, 65535, 65536):
            payload = bytes((i * 7) % 251 for i in range(n))
            await ws.send(payload)
            echo = await asyncio.wait_for(ws.recv(), 5)
            assert echo == payload, n
    print("sizes 125/126/65535/65536: ok")


async def close_echo(uri):
    ws = await websockets.connect(uri)
    await ws.close(code=4000, reason="bye")
    assert ws.close_code == 4000, ws.close_code
    assert ws.close_reason == "bye", ws.close_reason
    print("close echo: ok")


async def first_subprotocol(uri):
    async with websockets.connect(uri, subprotocols=["chat", "superchat"]) as ws:
        assert ws.subprotocol == "chat", ws.subprotocol
    print("first subprotocol: ok")


async def main(port):
    uri = "ws://127.0.0.1:%d/ws" % port
    for check in (fragmented_with_ping, frame_sizes, close_echo, first_subprotocol):
        await asyncio.wait_for(check(uri), 20)
    print("ALL OK")


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))

"""Websocket peer of the plug-in's integration tests.

ws_client.py PORT        talks to /ws (echo), /wsno (no connectSession) and
                         /nobody (no application) and prints what it saw.
ws_client.py PORT hold   opens /ws, prints "holding" and keeps it open.
"""
import asyncio
import sys

import websockets


async def exchange(port):
    base = f"ws://127.0.0.1:{port}"
    async with websockets.connect(f"{base}/ws/chat") as ws:
        for text in ("hello", "second"):
            await ws.send(text)
            print("ws", await asyncio.wait_for(ws.recv(), 5), flush=True)
    async with websockets.connect(f"{base}/wsno/x") as ws:
        print("wsno", await asyncio.wait_for(ws.recv(), 5), flush=True)
        try:
            await asyncio.wait_for(ws.recv(), 5)
            print("wsno still-open", flush=True)
        except websockets.ConnectionClosed:
            print("wsno closed", flush=True)
    try:
        async with websockets.connect(f"{base}/nobody") as ws:
            print("nobody accepted", flush=True)
    except websockets.InvalidStatusCode as refusal:
        print("nobody refused %d" % refusal.status_code, flush=True)
    except websockets.InvalidStatus as refusal:
        print("nobody refused %d" % refusal.response.status_code, flush=True)


async def hold(port):
    async with websockets.connect(f"ws://127.0.0.1:{port}/ws/held") as ws:
        await ws.send("hi")
        print("holding", await asyncio.wait_for(ws.recv(), 5), flush=True)
        try:
            await asyncio.wait_for(ws.recv(), 60)
        except Exception:
            pass


def main():
    port = int(sys.argv[1])
    if len(sys.argv) > 2 and sys.argv[2] == "hold":
        asyncio.run(hold(port))
    else:
        asyncio.run(exchange(port))


if __name__ == "__main__":
    main()

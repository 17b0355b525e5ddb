#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that holds each chunk for DELAY milliseconds in
each direction, as a line with a round trip of twice DELAY would: whatever
speaks over it (SSH, FTP) meets the same simulated line.

Chunks keep their order, and reading goes on while earlier chunks wait, so
a client that keeps many requests in flight gains as on a real line.

    delay_relay.py --listen-port N --target-port M [--delay-ms 20]

Prints "ready" on a line of its own once it listens.
"""
import argparse
import asyncio
import sys


async def pump(reader, writer, delay):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, chunk = await queue.get()
            if chunk is None:
                break
            wait = due - asyncio.get_running_loop().time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(chunk)
            await writer.drain()
        writer.close()

    delivering = asyncio.create_task(deliver())
    try:
        while True:
            chunk = await reader.read(65536)
            if not chunk:
                break
            await queue.put((asyncio.get_running_loop().time() + delay, chunk))
    finally:
        await queue.put((0, None))
        await delivering


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen-port", type=int, required=True)
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, default=20)
    args = parser.parse_args()
    delay = args.delay_ms / 1000

    async def relay(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", args.target_port)
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay),
                             return_exceptions=True)

    server = await asyncio.start_server(relay, "127.0.0.1", args.listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)

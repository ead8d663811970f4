#!/usr/bin/python3
"""An aiortc data-channel peer driven over stdin/stdout with JSON lines, for interop tests.

--role offer: creates the "P2P" channel and prints {"type": "offer", "sdp": ...}, then reads the
answer. --role answer: reads the offer and prints the answer. Either way it then reads
{"type": "candidate", "candidate": ..., "mid": ...} lines and applies them, and echoes every
message received on a channel back on it, as the same kind. When its channel opens it prints
{"type": "open", "label": ...} and sends the text "hello from aiortc". {"type": "stats"} makes it
print how many binary messages it received and echoed and what its channels still hold.
"""
import argparse
import asyncio
import json
import sys

import aioice.ice
from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription
from aiortc.sdp import candidate_from_sdp

# aioice skips loopback addresses when it lists host addresses; the tests run in a network
# namespace where loopback is the only interface.
aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: ["127.0.0.1"]


def emit(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


channels = []
binary = {"received": 0, "echoed": 0}


def wire(channel):
    channels.append(channel)

    def opened():
        emit({"type": "open", "label": channel.label})
        channel.send("hello from aiortc")

    @channel.on("message")
    def on_message(message):
        is_binary = isinstance(message, bytes)
        if is_binary:
            binary["received"] += 1
        channel.send(message)
        if is_binary:
            binary["echoed"] += 1

    if channel.readyState == "open":
        opened()
    else:
        channel.on("open", opened)


async def read_line(reader):
    line = await reader.readline()
    if not line:
        raise SystemExit(0)
    return json.loads(line)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--role", choices=["offer", "answer"], required=True)
    role = parser.parse_args().role

    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)

    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    pc.on("datachannel", wire)

    if role == "offer":
        wire(pc.createDataChannel("P2P"))
        await pc.setLocalDescription(await pc.createOffer())
        emit({"type": "offer", "sdp": pc.localDescription.sdp})
        answer = await read_line(reader)
        await pc.setRemoteDescription(RTCSessionDescription(sdp=answer["sdp"], type="answer"))
    else:
        offer = await read_line(reader)
        await pc.setRemoteDescription(RTCSessionDescription(sdp=offer["sdp"], type="offer"))
        await pc.setLocalDescription(await pc.createAnswer())
        emit({"type": "answer", "sdp": pc.localDescription.sdp})

    while True:
        message = await read_line(reader)
        if message.get("type") == "candidate":
            line = message["candidate"]
            if line.startswith("a="):
                line = line[2:]
            candidate = candidate_from_sdp(line.split(":", 1)[1])
            candidate.sdpMid = message.get("mid")
            await pc.addIceCandidate(candidate)
        elif message.get("type") == "stats":
            emit({"type": "stats", "binaryReceived": binary["received"],
                  "binaryEchoed": binary["echoed"],
                  "bufferedAmount": sum(channel.bufferedAmount for channel in channels)})
        elif message.get("type") == "bye":
            await pc.close()
            return


asyncio.run(main())

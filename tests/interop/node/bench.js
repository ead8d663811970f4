#!/usr/bin/env node
// The reference figures of the data-channel benchmark: two node-datachannel connections on
// 127.0.0.1, the time from createDataChannel to the channel's open event, and MB/s of
// 15,924-byte binary frames sent one way. Prints the same lines as bench_datachannel:
//   setup-ms <median> <min> <max>
//   throughput <MB/s> <bytes> <seconds>
//   node bench.js [megabytes] [setups]
'use strict';

const nodeDataChannel = require('node-datachannel');

const kFrameBytes = 15924;
// As on our side: at most this much queued in SCTP before the sender waits.
const kHighWaterBytes = 4 * 1024 * 1024;

const megabytes = Number(process.argv[2] || 200);
const setups = Math.max(Number(process.argv[3] || 10), 1);

// Hands descriptions and candidates to `pc`, holding candidates until its remote description is
// set: libdatachannel throws on a candidate that comes first.
function relayTo(pc) {
  let described = false;
  const held = [];
  return {
    description(sdp, type) {
      pc.setRemoteDescription(sdp, type);
      described = true;
      for (const [candidate, mid] of held.splice(0)) pc.addRemoteCandidate(candidate, mid);
    },
    candidate(candidate, mid) {
      if (described) {
        pc.addRemoteCandidate(candidate, mid);
      } else {
        held.push([candidate, mid]);
      }
    },
  };
}

function pair() {
  const config = { iceServers: [], bindAddress: '127.0.0.1' };
  const offerer = new nodeDataChannel.PeerConnection('offerer', config);
  const answerer = new nodeDataChannel.PeerConnection('answerer', config);
  const toOfferer = relayTo(offerer);
  const toAnswerer = relayTo(answerer);
  offerer.onLocalDescription((sdp, type) => toAnswerer.description(sdp, type));
  answerer.onLocalDescription((sdp, type) => toOfferer.description(sdp, type));
  offerer.onLocalCandidate((candidate, mid) => toAnswerer.candidate(candidate, mid));
  answerer.onLocalCandidate((candidate, mid) => toOfferer.candidate(candidate, mid));
  const remote = new Promise((resolve) => answerer.onDataChannel(resolve));
  return { offerer, answerer, remote };
}

// Creates the channel and waits for it to open; the channels and the milliseconds it took.
async function open(p) {
  const start = process.hrtime.bigint();
  const channel = p.offerer.createDataChannel('P2P');
  await new Promise((resolve) => channel.onOpen(resolve));
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  return { channel, remote: await p.remote, ms };
}

function close(p, channels) {
  for (const channel of channels) channel.close();
  p.offerer.close();
  p.answerer.close();
}

async function throughput(channel, remote, totalBytes) {
  const frames = Math.ceil(totalBytes / kFrameBytes);
  const frame = Buffer.alloc(kFrameBytes, 0x5a);
  let received = 0;
  const start = process.hrtime.bigint();
  const done = new Promise((resolve) => {
    remote.onMessage((message) => {
      received += message.length;
      if (received >= frames * kFrameBytes) resolve();
    });
  });
  let sent = 0;
  const pump = () => {
    while (sent < frames && channel.bufferedAmount() + kFrameBytes <= kHighWaterBytes) {
      channel.sendMessageBinary(frame);
      ++sent;
    }
  };
  channel.setBufferedAmountLowThreshold(kHighWaterBytes / 2);
  channel.onBufferedAmountLow(pump);
  pump();
  await done;
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  return { rate: (frames * kFrameBytes) / 1e6 / seconds, seconds };
}

async function main() {
  const times = [];
  for (let i = 0; i < setups; ++i) {
    const p = pair();
    const { channel, remote, ms } = await open(p);
    times.push(ms);
    close(p, [channel, remote]);
  }
  times.sort((a, b) => a - b);
  console.log(`setup-ms ${times[Math.floor(times.length / 2)].toFixed(2)} ` +
              `${times[0].toFixed(2)} ${times[times.length - 1].toFixed(2)}`);

  const p = pair();
  const { channel, remote } = await open(p);
  const bytes = megabytes * 1000 * 1000;
  const { rate, seconds } = await throughput(channel, remote, bytes);
  console.log(`throughput ${rate.toFixed(1)} ${bytes} ${seconds.toFixed(3)}`);
  close(p, [channel, remote]);
  process.exit(0);
}

main().catch((error) => {
  console.error('bench.js:', error);
  process.exit(1);
});

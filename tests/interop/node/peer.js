#!/usr/bin/env node
// A node-datachannel peer driven over stdin/stdout with JSON lines, for the interop tests.
//
// --role offer: creates the "P2P" channel and prints {"type": "offer", "sdp": ...}, then reads
// the answer. --role answer: reads the offer and prints the answer. Either way it prints each
// local candidate as {"type": "candidate", "candidate": ..., "mid": ...}, applies the candidate
// lines it reads, and echoes every message received on a channel back on it, as the same kind.
// When its channel opens it prints {"type": "open", "label": ..., "maxMessageSize": ...} and
// sends the text "hello from node-datachannel". {"type": "stats"} makes it print how many binary
// messages it received and echoed and what its channels still hold. {"type": "bye"} or the end of
// input closes it.
'use strict';

const readline = require('readline');
const nodeDataChannel = require('node-datachannel');

const role = process.argv[process.argv.indexOf('--role') + 1];
if (role !== 'offer' && role !== 'answer') {
  process.stderr.write('usage: peer.js --role offer|answer\n');
  process.exit(2);
}

function emit(message) {
  process.stdout.write(JSON.stringify(message) + '\n');
}

// The tests run in a network namespace where loopback is the only interface; without a bind
// address libjuice gathers no candidate there.
const pc = new nodeDataChannel.PeerConnection('interop', {
  iceServers: [],
  bindAddress: '127.0.0.1',
});
const channels = [];
const binary = { received: 0, echoed: 0 };

pc.onLocalDescription((sdp, type) => emit({ type: type.toLowerCase(), sdp }));
pc.onLocalCandidate((candidate, mid) => emit({ type: 'candidate', candidate, mid }));
pc.onStateChange((state) => emit({ type: 'state', state }));

function wire(channel) {
  channels.push(channel);
  const opened = () => {
    emit({ type: 'open', label: channel.getLabel(), maxMessageSize: channel.maxMessageSize() });
    channel.sendMessage('hello from node-datachannel');
  };
  channel.onMessage((message) => {
    if (typeof message === 'string') {
      channel.sendMessage(message);
    } else {
      ++binary.received;
      channel.sendMessageBinary(message);
      ++binary.echoed;
    }
  });
  if (channel.isOpen()) {
    opened();
  } else {
    channel.onOpen(opened);
  }
}

pc.onDataChannel(wire);
if (role === 'offer') wire(pc.createDataChannel('P2P'));

function finish() {
  for (const channel of channels) channel.close();
  pc.close();
  nodeDataChannel.cleanup();
  process.exit(0);
}

const input = readline.createInterface({ input: process.stdin });
input.on('line', (line) => {
  let message;
  try {
    message = JSON.parse(line);
  } catch (error) {
    return;
  }
  if (message.type === 'offer' || message.type === 'answer') {
    pc.setRemoteDescription(message.sdp, message.type);
  } else if (message.type === 'candidate') {
    pc.addRemoteCandidate(message.candidate, message.mid);
  } else if (message.type === 'stats') {
    emit({
      type: 'stats',
      binaryReceived: binary.received,
      binaryEchoed: binary.echoed,
      bufferedAmount: channels.reduce((sum, channel) => sum + channel.bufferedAmount(), 0),
    });
  } else if (message.type === 'bye') {
    finish();
  }
});
input.on('close', finish);

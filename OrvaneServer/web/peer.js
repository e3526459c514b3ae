// The pad's peer connection: the host offers (video plus the "control" data
// channel), we answer; ICE candidates trickle both ways through signalling.

import { decodeControlEvent, encodeControlEvent } from './protocol.js';

export const MAX_QUEUED_EVENTS = 256;
export const DISCONNECT_GRACE_MS = 4000;  // ICE often recovers from "disconnected" by itself

export class PadPeer {
  // signaling: {sendAnswer(sdp), sendIce(candidate)}.
  // Callbacks: onTrack(stream, receiver), onChannelOpen(), onControlEvent(event), onConnected(), onEnded(reason).
  constructor({ signaling, iceServers = [], relayOnly = false, lowestDelay = true,
    RTCPeerConnection = globalThis.RTCPeerConnection, timers = globalThis }) {
    Object.assign(this, { signaling, timers });
    this.pc = new RTCPeerConnection(relayOnly ? { iceServers, iceTransportPolicy: 'relay' } : { iceServers });
    this.channel = null;
    this.queue = [];
    this.pendingCandidates = [];
    this.remoteDescriptionSet = false;
    this.connected = false;
    this.ended = false;

    this.pc.onicecandidate = ({ candidate }) => {
      // The end-of-candidates marker is not sent: the host's envelope has no form for it.
      if (!candidate || !candidate.candidate) return;
      try {
        this.signaling.sendIce({ candidate: candidate.candidate, sdpMLineIndex: candidate.sdpMLineIndex,
          sdpMid: candidate.sdpMid });
      } catch {
        // The socket is down; the host has the candidates in the answer's gathering or not at all.
      }
    };
    this.pc.ontrack = ({ track, streams, receiver }) => {
      if (track.kind !== 'video') return;
      if (lowestDelay) lowestPlayoutDelay(receiver);
      this.onTrack?.(streams[0] ?? new MediaStream([track]), receiver);
    };
    this.pc.ondatachannel = ({ channel }) => {
      if (channel.label === 'control') this.adopt(channel);
    };
    this.pc.onconnectionstatechange = () => this.connectionChanged(this.pc.connectionState);
  }

  async handleOffer(sdp) {
    if (this.ended) return;
    await this.pc.setRemoteDescription({ type: 'offer', sdp });
    this.remoteDescriptionSet = true;
    const early = this.pendingCandidates;
    this.pendingCandidates = [];
    for (const c of early) await this.addCandidate(c);
    const answer = await this.pc.createAnswer();
    await this.pc.setLocalDescription(answer);
    this.signaling.sendAnswer(this.pc.localDescription?.sdp ?? answer.sdp);
  }

  // Candidates before the offer wait for it.
  async handleIce(info) {
    if (this.ended) return;
    if (!this.remoteDescriptionSet) {
      this.pendingCandidates.push(info);
      return;
    }
    await this.addCandidate(info);
  }

  async addCandidate({ candidate, sdpMLineIndex, sdpMid }) {
    try {
      await this.pc.addIceCandidate({ candidate, sdpMLineIndex, sdpMid: sdpMid ?? undefined });
    } catch {
      // One bad candidate does not end the session; the others may connect.
    }
  }

  // Queued while the channel is not open, sent in order when it opens.
  send(event) {
    const text = encodeControlEvent(event);
    if (this.channel?.readyState === 'open') {
      this.channel.send(text);
    } else if (this.queue.length < MAX_QUEUED_EVENTS) {
      this.queue.push(text);
    }
  }

  close() {
    this.end('closed by the pad');
  }

  adopt(channel) {
    if (this.channel) this.channel.onopen = this.channel.onmessage = this.channel.onclose = null;
    this.channel = channel;
    channel.onopen = () => this.flush();
    channel.onmessage = ({ data }) => {
      if (typeof data !== 'string') return;
      const event = decodeControlEvent(data);
      if (event) this.onControlEvent?.(event);
    };
    channel.onclose = () => this.end('the host closed the control channel');
    if (channel.readyState === 'open') this.flush();
  }

  // Browsers differ on whether an adopted channel still reports its opening.
  flush() {
    const queued = this.queue;
    this.queue = [];
    for (const text of queued) this.channel.send(text);
    if (this.channelOpened) return;
    this.channelOpened = true;
    this.onChannelOpen?.();
  }

  connectionChanged(state) {
    this.timers.clearTimeout(this.graceTimer);
    if (state === 'connected') {
      if (!this.connected) {
        this.connected = true;
        this.onConnected?.();
      }
    } else if (state === 'disconnected' && this.connected) {
      this.graceTimer = this.timers.setTimeout(() => this.end('the connection was lost'), DISCONNECT_GRACE_MS);
    } else if (state === 'failed' && this.connected) {
      this.end('the connection failed');
    } else if (state === 'closed') {
      this.end('the connection closed');
    }
  }

  end(reason) {
    if (this.ended) return;
    this.ended = true;
    this.timers.clearTimeout(this.graceTimer);
    if (this.channel) {
      this.channel.onopen = this.channel.onmessage = this.channel.onclose = null;
      // Tells the host at once that the pad has gone; otherwise it learns
      // from the silence, seconds later.
      try {
        this.channel.close();
      } catch {
        // already closed
      }
    }
    this.pc.onicecandidate = this.pc.ontrack = this.pc.ondatachannel = this.pc.onconnectionstatechange = null;
    try {
      this.pc.close();
    } catch {
      // already closed
    }
    this.onEnded?.(reason);
  }
}

// As little buffering as the browser allows: jitterBufferTarget (ms, newer
// browsers) or the older playoutDelayHint (s).
export function lowestPlayoutDelay(receiver) {
  if (!receiver) return;
  try {
    if ('jitterBufferTarget' in receiver) receiver.jitterBufferTarget = 0;
    else receiver.playoutDelayHint = 0;
  } catch {
    // Not supported here; the default delay stays.
  }
}

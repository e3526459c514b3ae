// Signing in: an invite link carries a one-time identity token in its
// fragment (#invite=TOKEN); the server exchanges it for a session token bound
// to this browser's device id, both kept in local storage.

const KEYS = { deviceId: 'orvane.deviceId', sessionToken: 'orvane.sessionToken', userId: 'orvane.userId' };
const MAX_TOKEN_LENGTH = 8192;

export class SignInError extends Error {
  constructor(message, status = 0) {
    super(message);
    this.name = 'SignInError';
    this.status = status;  // the HTTP status; 0 when the server was not reached or answered nonsense
  }
}

// The invite token of a fragment such as "#invite=abc" (other members may follow after "&").
export function inviteFromHash(hash) {
  const params = new URLSearchParams(String(hash).replace(/^#/, ''));
  const token = params.get('invite');
  return token && token.length <= MAX_TOKEN_LENGTH ? token : null;
}

// The fragment with the invite taken out: the address bar must not keep a credential.
export function hashWithoutInvite(hash) {
  const params = new URLSearchParams(String(hash).replace(/^#/, ''));
  params.delete('invite');
  const rest = params.toString();
  return rest ? `#${rest}` : '';
}

// "Chrome on iPad", "Firefox on Android", ...: how the host list and logs name this browser.
export function deviceNameFor(userAgent, maxTouchPoints = 0) {
  const ua = String(userAgent);
  const browser = /Edg\//.test(ua) ? 'Edge'
    : /Firefox\/|FxiOS/.test(ua) ? 'Firefox'
    : /Chrome\/|Chromium\/|CriOS/.test(ua) ? 'Chrome'
    : /Safari\//.test(ua) ? 'Safari'
    : 'Browser';
  // iPadOS asks for desktop pages and says "Macintosh"; only the touch points give it away.
  const system = /iPad/.test(ua) || (/Macintosh/.test(ua) && maxTouchPoints > 1) ? 'iPad'
    : /iPhone/.test(ua) ? 'iPhone'
    : /Android/.test(ua) ? 'Android'
    : /CrOS/.test(ua) ? 'ChromeOS'
    : /Windows/.test(ua) ? 'Windows'
    : /Macintosh|Mac OS X/.test(ua) ? 'Mac'
    : /Linux/.test(ua) ? 'Linux'
    : '';
  return system ? `${browser} on ${system}` : browser;
}

// A random UUID; crypto.randomUUID needs a secure context, which a pad on
// the local network (plain http) is not.
export function newDeviceId(crypto = globalThis.crypto) {
  const b = crypto.getRandomValues(new Uint8Array(16));
  b[6] = (b[6] & 0x0f) | 0x40;
  b[8] = (b[8] & 0x3f) | 0x80;
  const hex = [...b].map((v) => v.toString(16).padStart(2, '0')).join('');
  return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`;
}

// This browser's identity in `storage` (localStorage in the page).
export class Account {
  constructor(storage, crypto = globalThis.crypto) {
    this.storage = storage;
    this.crypto = crypto;
  }

  get deviceId() {
    let id = this.storage.getItem(KEYS.deviceId);
    if (!id) {
      id = newDeviceId(this.crypto);
      this.storage.setItem(KEYS.deviceId, id);
    }
    return id;
  }

  get sessionToken() { return this.storage.getItem(KEYS.sessionToken); }

  save({ sessionToken, userId }) {
    this.storage.setItem(KEYS.sessionToken, sessionToken);
    this.storage.setItem(KEYS.userId, userId);
  }

  // The device id stays: a later invite signs in as the same device.
  signOut() {
    this.storage.removeItem(KEYS.sessionToken);
    this.storage.removeItem(KEYS.userId);
  }
}

// POST /v1/auth/apple as a pad; the session token and user id, or a SignInError.
export async function exchangeInvite({ fetch = globalThis.fetch, baseUrl = '', identityToken, deviceId, deviceName }) {
  let response;
  try {
    response = await fetch(`${baseUrl}/v1/auth/apple`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ appleIdentityToken: identityToken, deviceId, role: 'pad', deviceName }),
      cache: 'no-store',
    });
  } catch (error) {
    throw new SignInError(`The server cannot be reached (${error.message}).`);
  }
  if (response.status !== 200) {
    const why = response.status === 401 || response.status === 403
      ? 'The invite was refused: it may have expired or been used already. Ask for a new one.'
      : `The server refused the sign-in (HTTP ${response.status}).`;
    throw new SignInError(why, response.status);
  }
  let body;
  try {
    body = await response.json();
  } catch {
    body = null;
  }
  if (!body || typeof body.sessionToken !== 'string' || typeof body.userId !== 'string' || !body.sessionToken) {
    throw new SignInError('The server answered the sign-in with something unexpected.', 200);
  }
  return { sessionToken: body.sessionToken, userId: body.userId };
}

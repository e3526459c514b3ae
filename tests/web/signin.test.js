import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { test } from 'node:test';

import { Account, deviceNameFor, exchangeInvite, hashWithoutInvite, inviteFromHash, SignInError }
  from '../../OrvaneServer/web/signin.js';

class MemoryStorage {
  constructor() { this.items = new Map(); }
  getItem(k) { return this.items.has(k) ? this.items.get(k) : null; }
  setItem(k, v) { this.items.set(k, String(v)); }
  removeItem(k) { this.items.delete(k); }
}

test('the invite comes out of the fragment and the fragment loses it', () => {
  assert.equal(inviteFromHash('#invite=abc.def-_'), 'abc.def-_');
  assert.equal(inviteFromHash('#x=1&invite=tok'), 'tok');
  assert.equal(inviteFromHash(''), null);
  assert.equal(inviteFromHash('#invite='), null);
  assert.equal(inviteFromHash(`#invite=${'a'.repeat(9000)}`), null);
  assert.equal(hashWithoutInvite('#invite=tok'), '');
  assert.equal(hashWithoutInvite('#x=1&invite=tok'), '#x=1');
});

test('a browser is named by its kind and system, an iPad even when it claims to be a Mac', () => {
  const chromeLinux = 'Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/156.0 Safari/537.36';
  const ipad = 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 Safari/605.1.15';
  const firefoxAndroid = 'Mozilla/5.0 (Android 14; Mobile; rv:128.0) Gecko/128.0 Firefox/128.0';
  assert.equal(deviceNameFor(chromeLinux), 'Chrome on Linux');
  assert.equal(deviceNameFor(ipad, 5), 'Safari on iPad');
  assert.equal(deviceNameFor(ipad, 0), 'Safari on Mac');
  assert.equal(deviceNameFor(firefoxAndroid), 'Firefox on Android');
  assert.equal(deviceNameFor('curl/8'), 'Browser');
});

test('the device id is made once and kept; signing out keeps it but drops the token', () => {
  const storage = new MemoryStorage();
  const account = new Account(storage, webcrypto);
  const id = account.deviceId;
  assert.match(id, /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/);
  assert.equal(new Account(storage, webcrypto).deviceId, id);
  account.save({ sessionToken: 's', userId: 'u' });
  assert.equal(account.sessionToken, 's');
  account.signOut();
  assert.equal(account.sessionToken, null);
  assert.equal(account.deviceId, id);
});

test('the exchange posts the invite as a pad and takes only a complete answer', async () => {
  const calls = [];
  const reply = (status, body) => async (url, init) => {
    calls.push({ url, init });
    return { status, json: async () => (typeof body === 'string' ? JSON.parse(body) : body) };
  };
  const args = { baseUrl: 'http://h:1', identityToken: 'inv', deviceId: 'd', deviceName: 'n' };
  assert.deepEqual(await exchangeInvite({ ...args, fetch: reply(200, { sessionToken: 's', userId: 'u', extra: 1 }) }),
    { sessionToken: 's', userId: 'u' });
  assert.equal(calls[0].url, 'http://h:1/v1/auth/apple');
  assert.equal(calls[0].init.method, 'POST');
  assert.deepEqual(JSON.parse(calls[0].init.body), { appleIdentityToken: 'inv', deviceId: 'd', role: 'pad', deviceName: 'n' });

  const refused = await exchangeInvite({ ...args, fetch: reply(401, {}) }).catch((e) => e);
  assert.ok(refused instanceof SignInError);
  assert.equal(refused.status, 401);
  assert.match(refused.message, /expired or been used/);
  for (const body of [{ sessionToken: 's' }, 'not json', { sessionToken: 5, userId: 'u' }]) {
    const bad = await exchangeInvite({ ...args, fetch: reply(200, body) }).catch((e) => e);
    assert.ok(bad instanceof SignInError && bad.status === 200, JSON.stringify(body));
  }
  const offline = await exchangeInvite({ ...args, fetch: async () => { throw new TypeError('Failed to fetch'); } })
    .catch((e) => e);
  assert.ok(offline instanceof SignInError && offline.status === 0);
});

'use strict';
// The S3-compatible server of the tests and benchmarks: s3rver on the
// loopback, with its data in DIRECTORY and the bucket BUCKET made at start.
// Writes the port it listens on to PORT_FILE once it answers, and stops on
// SIGTERM or when its parent goes away (stdin closes).
//
// s3rver checks no more of a version 4 signature than its key id: the
// signature is checked here, with the secret of key id S3RVER taken from
// $S3SERVER_SECRET (default S3RVER). s3rver answers the abort of a multipart
// upload with MethodNotAllowed: the abort is added here (after the request's
// checks), so that an aborted upload leaves no parts behind, as on S3.
//
// For the tests of transient failures, the server counts the requests of
// each kind and fails the next ones of a kind on demand, through two paths
// of its own (no bucket can have such a name):
//   PUT /__faults?kind=KIND&count=N&answer=ANSWER[&suffix=S]
//                                                  the next N requests of KIND (whose
//                                                  object key ends in S) fail
//   DELETE /__faults                               no request is failed any more
//   GET /__requests                                "KIND COUNT" lines, the requests seen
//                                                  ("held COUNT": those held so far by hold or stall)
// KIND is initiate, part, complete, abort (multipart upload), put, get,
// head, delete (object) or list (bucket). ANSWER is 503 (SlowDown, once
// the request's body is read), 500 (InternalError), drop (the connection
// is closed before the request is looked at) or lose (the request is
// carried out, then its connection is closed unanswered), hold (the request
// is neither carried out nor answered: its client waits until it gives up or
// is killed) or stall (the request is carried out and never answered). The
// last two let a test kill a client at a known step of its work.
//
//   node server.js DIRECTORY BUCKET PORT_FILE
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const S3rver = require('s3rver');

const [directory, bucket, portFile] = process.argv.slice(2);
if (!directory || !bucket || !portFile) {
  console.error('usage: node server.js DIRECTORY BUCKET PORT_FILE');
  process.exit(2);
}

const server = new S3rver({
  address: '127.0.0.1',
  port: 0,
  silent: true,
  directory,
  vhostBuckets: false,
  configureBuckets: [{ name: bucket }],
});

const SECRETS = { S3RVER: process.env.S3SERVER_SECRET || 'S3RVER' };
const awsEncode = text =>
  encodeURIComponent(text).replace(/[!'()*]/g, c => '%' + c.charCodeAt(0).toString(16).toUpperCase());
const hmac = (key, data) => crypto.createHmac('sha256', key).update(data).digest();
const refuse = (ctx, code) => {
  ctx.status = 403;
  ctx.type = 'application/xml';
  ctx.body = `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${code}</Code></Error>`;
};
const seen = {};
const faults = {}; // kind -> { answer, left, suffix }
const HELD = ['drop', 'lose', 'hold', 'stall'];
const ANSWERS = {
  503: ['SlowDown', 'Please reduce your request rate.'],
  500: ['InternalError', 'We encountered an internal error. Please try again.'],
};
const kindOf = ctx => {
  const q = ctx.query;
  const hasKey = /^\/[^/]+\/./.test(ctx.path);
  switch (ctx.method) {
    case 'PUT':
      return 'partNumber' in q ? 'part' : 'put';
    case 'POST':
      return 'uploads' in q ? 'initiate' : 'uploadId' in q ? 'complete' : 'post';
    case 'DELETE':
      return 'uploadId' in q ? 'abort' : 'delete';
    case 'HEAD':
      return 'head';
    case 'GET':
      return hasKey ? 'get' : 'list';
    default:
      return ctx.method.toLowerCase();
  }
};
// First of all, so that every request is counted, refused ones too.
server.middleware.unshift(async (ctx, next) => {
  if (ctx.path === '/__faults') {
    if (ctx.method === 'DELETE') {
      for (const kind of Object.keys(faults)) delete faults[kind];
    } else {
      const { kind, answer, suffix = '' } = ctx.query;
      const count = Number(ctx.query.count);
      if (ctx.method !== 'PUT' || !kind || !(answer in ANSWERS || HELD.includes(answer)) ||
          !Number.isInteger(count) || count < 0) {
        ctx.status = 400;
        ctx.body = 'PUT /__faults?kind=KIND&count=N&answer=503|500|drop|lose|hold|stall[&suffix=S]\n';
        return;
      }
      faults[kind] = { answer, left: count, suffix };
    }
    ctx.status = 204;
    return;
  }
  if (ctx.path === '/__requests') {
    ctx.type = 'text/plain';
    ctx.body = Object.entries(seen).map(([kind, n]) => `${kind} ${n}\n`).join('');
    return;
  }
  const kind = kindOf(ctx);
  seen[kind] = (seen[kind] || 0) + 1;
  const fault = faults[kind];
  if (!fault || fault.left === 0 || !ctx.path.endsWith(fault.suffix)) return next();
  fault.left -= 1;
  if (fault.answer === 'hold' || fault.answer === 'stall') {
    if (fault.answer === 'stall') await next();
    seen.held = (seen.held || 0) + 1;
    ctx.respond = false; // the connection stays open, unanswered, until the client goes
    return;
  }
  if (fault.answer === 'drop') {
    ctx.respond = false;
    ctx.req.socket.destroy();
    return;
  }
  if (fault.answer === 'lose') {
    try {
      await next();
    } finally {
      ctx.respond = false;
      ctx.req.socket.destroy();
    }
    return;
  }
  for await (const chunk of ctx.req) void chunk; // S3 reads a request before it answers
  const [code, message] = ANSWERS[fault.answer];
  ctx.status = Number(fault.answer);
  ctx.type = 'application/xml';
  ctx.body = `<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>${code}</Code><Message>${message}</Message></Error>`;
});

server.middleware.splice(server.middleware.length - 1, 0, async (ctx, next) => {
  const auth = ctx.get('authorization');
  const m = /^AWS4-HMAC-SHA256 Credential=([^/]+)\/(\d{8})\/([^/]+)\/s3\/aws4_request, ?SignedHeaders=([^,]+), ?Signature=([0-9a-f]+)$/.exec(auth);
  if (!m) return next();
  const [, keyId, date, region, signedHeaders, signature] = m;
  if (!(keyId in SECRETS)) return next(); // s3rver refuses an unknown key id itself
  const [rawPath, rawQuery = ''] = ctx.req.url.split('?');
  const query = rawQuery
    .split('&')
    .filter(p => p)
    .map(p => {
      const [k, v = ''] = p.split('=');
      return [awsEncode(decodeURIComponent(k)), awsEncode(decodeURIComponent(v))];
    })
    .sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : 1))
    .map(([k, v]) => `${k}=${v}`)
    .join('&');
  const names = signedHeaders.split(';');
  const headers = names.map(n => `${n}:${String(ctx.get(n)).trim()}\n`).join('');
  const canonical = [ctx.method, rawPath, query, headers, signedHeaders, ctx.get('x-amz-content-sha256')].join('\n');
  const scope = `${date}/${region}/s3/aws4_request`;
  const toSign = ['AWS4-HMAC-SHA256', ctx.get('x-amz-date'), scope,
    crypto.createHash('sha256').update(canonical).digest('hex')].join('\n');
  let key = hmac('AWS4' + SECRETS[keyId], date);
  for (const part of [region, 's3', 'aws4_request']) key = hmac(key, part);
  if (hmac(key, toSign).toString('hex') !== signature) return refuse(ctx, 'SignatureDoesNotMatch');
  return next();
});

server.middleware.splice(server.middleware.length - 1, 0, async (ctx, next) => {
  try {
    await next();
  } catch (err) {
    const uploadId = ctx.query.uploadId;
    if (ctx.method !== 'DELETE' || err.code !== 'MethodNotAllowed' || !/^[0-9a-f]+$/.test(uploadId || '')) throw err;
    const bucketName = ctx.path.split('/')[1];
    const dir = path.join(server.store.getResourcePath(bucketName, undefined, 'uploads'), uploadId);
    if (!fs.existsSync(dir)) {
      ctx.status = 404;
      ctx.type = 'application/xml';
      ctx.body = '<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>NoSuchUpload</Code></Error>';
      return;
    }
    fs.rmSync(dir, { recursive: true, force: true });
    ctx.status = 204;
  }
});

server.run().then(({ port }) => {
  fs.writeFileSync(portFile + '.tmp', String(port));
  fs.renameSync(portFile + '.tmp', portFile);
}, err => {
  console.error(err);
  process.exit(1);
});

const stop = () => process.exit(0);
process.on('SIGTERM', stop);
process.stdin.on('end', stop);
process.stdin.resume();

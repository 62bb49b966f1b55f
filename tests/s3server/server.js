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

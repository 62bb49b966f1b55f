'use strict';
// The S3-compatible server of the tests and benchmarks: s3rver on the
// loopback, with its data in DIRECTORY and the bucket BUCKET made at start.
// Writes the port it listens on to PORT_FILE once it answers, and stops on
// SIGTERM or when its parent goes away (stdin closes).
//
// s3rver answers the abort of a multipart upload with MethodNotAllowed; the
// abort is added here (after s3rver has checked the request's signature),
// so that an aborted upload leaves no parts behind, as on S3.
//
//   node server.js DIRECTORY BUCKET PORT_FILE
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

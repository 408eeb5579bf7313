// The OpenAPI description against the running server: /openapi.json is a
// valid OpenAPI 3 document of this version; every route the server
// registers is described and every described operation is exercised below;
// every answer's status is one its operation describes, and its body
// validates against that response's schema.
//
//   node openapi_test.mjs QUILLET_BINARY SOURCE_DIR
import {spawn, execFileSync} from 'node:child_process';
import {mkdtempSync, readFileSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import SwaggerParser from '@apidevtools/swagger-parser';
import Ajv2020 from 'ajv/dist/2020.js';

const [quillet, source] = process.argv.slice(2);
const dir = mkdtempSync(join(tmpdir(), 'quillet-openapi-'));
const failures = [];
const fail = (what) => failures.push(what);

const server = spawn(quillet, ['serve', '--listen', '127.0.0.1:0', '--db',
                               join(dir, 'q.db'), '--log', join(dir, 'q.log')],
                     {stdio: ['ignore', 'ignore', 'pipe']});
const port = await new Promise((resolve, reject) => {
  let seen = '';
  const timer = setTimeout(() => reject(new Error('no "listening on" in 10 s')),
                           10000);
  server.stderr.on('data', (chunk) => {
    seen += chunk;
    const m = seen.match(/listening on 127\.0\.0\.1:(\d+)/);
    if (m) {
      clearTimeout(timer);
      resolve(Number(m[1]));
    }
  });
  server.on('exit', () => reject(new Error('the server exited: ' + seen)));
});

try {
  const base = `http://127.0.0.1:${port}`;
  const doc = await (await fetch(base + '/openapi.json')).json();
  await SwaggerParser.validate(structuredClone(doc));  // throws when invalid
  const version = execFileSync(quillet, ['--version']).toString().trim();
  if (version !== `quillet ${doc.info.version}`)
    fail(`info.version ${doc.info.version} is not the program's: ${version}`);
  const api = await SwaggerParser.dereference(structuredClone(doc));

  // Routes as the server registers them, with path parameters as {}.
  const server_cc = readFileSync(
      join(source, 'tools/quillet/http/server.cc'), 'utf8');
  const registered = new Set();
  for (const m of server_cc.matchAll(
           /server\.(Get|Post|Put|Delete)\(\s*(?:R"\((.*?)\)"|"([^"]*)")/gs))
    registered.add(`${m[1].toUpperCase()} ${(m[2] ?? m[3]).replace(/\(\[\^\/\]\+\)/g, '{}')}`);
  const cmake = readFileSync(join(source, 'tools/quillet/CMakeLists.txt'), 'utf8');
  const files = cmake.match(/QUILLET_CONSOLE_FILES ([^)]+)\)/)[1].split(',');
  for (const f of files) registered.add(`GET /${f}`);
  registered.add('GET /');  // the console's page
  const described = new Set();
  for (const [path, item] of Object.entries(api.paths))
    for (const method of ['get', 'post', 'put', 'delete'])
      if (item[method])
        described.add(`${method.toUpperCase()} ${path.replace(/\{[^}]+\}/g, '{}')}`);
  for (const r of registered)
    if (!described.has(r)) fail(`the server answers ${r}, which is not described`);
  for (const d of described)
    if (!registered.has(d)) fail(`${d} is described, but the server has no such route`);

  // A run of requests over every operation and most statuses.
  const item = (serial, field) => JSON.stringify(
      {component: 'Items', values: [['SERIALNUMBER', serial], [field, 'x']]});
  const exchanges = [
    ['POST', '/calls', '{"SOLDTOBP":"B","Q_TEXT":"jam"}', 200,
     {'Quillet-Dry-Run': 'true', 'Quillet-Trace': 'true'}],
    ['POST', '/calls', '{"SOLDTOBP":"B","Q_TEXT":"jam"}', 201, {'Idempotency-Key': 'k1'}],
    ['POST', '/calls', '{"SOLDTOBP":"B","Q_TEXT":"jam"}', 201, {'Idempotency-Key': 'k1'}],
    ['POST', '/calls', '{"SOLDTOBP":"C"}', 409, {'Idempotency-Key': 'k1'}],
    ['POST', '/calls', '{"SITE":"x"}', 424],
    ['POST', '/calls', '{bad', 400],
    ['POST', '/calls', '{"Q_TEXT":"' + 'x'.repeat(2 << 20) + '"}', 413],
    ['POST', '/calls/SC000001/changes', '{"OPTION":1,"PROBLEM":"p"}', 200],
    ['POST', '/calls/SC000001/changes', '{"OPTION":"x"}', 422],
    ['GET', '/calls?limit=10&status=15', null, 200],
    ['GET', '/calls?limit=x', null, 400],
    ['GET', '/calls?order=changed&limit=2&after=SC000001', null, 200],
    ['GET', '/calls?order=x', null, 400],
    ['GET', '/calls/SC000001', null, 200],
    ['GET', '/calls/SC404', null, 404],
    ['POST', '/items', item('S-1', 'ITEM'), 201],
    ['POST', '/items', item('S-1', 'ITEM'), 424],
    ['PUT', '/items/S-1', item('S-1', 'ROOM'), 200],
    ['GET', '/items', null, 200],
    ['GET', '/items/S-1', null, 200],
    ['GET', '/items/S-9', null, 404],
    ['GET', '/time-format?value=90', null, 200],
    ['GET', '/time-format?value=null', null, 422],
    ['GET', '/log?tail=5', null, 200],
    ['GET', '/log?tail=5&offset=1&number=0&source=Calls&text=x&since=2026-01-01T00:00:00Z', null, 200],
    ['GET', '/log?since=yesterday', null, 400],
    ['GET', '/items?search=s-1', null, 200],
    ['GET', '/call-count?status=15&text=j', null, 200],
    ['GET', '/call-count?status=x', null, 400],
    ['GET', '/partners?search=x', null, 200],
    ['GET', '/partners?number=BP-1&number=BP-2', null, 200],
    ['GET', '/partners?limit=101', null, 400],
    ['GET', '/service-objects?limit=5', null, 200],
    ['GET', '/favicon.svg', null, 200],
    ['GET', '/healthz', null, 200],
    ['GET', '/metrics', null, 200],
    ['GET', '/openapi.json', null, 200],
    ['GET', '/', null, 200],
    ['GET', '/index.html', null, 200],
    ['GET', '/console.js', null, 200],
    ['GET', '/console.css', null, 200],
  ];
  const ajv = new Ajv2020({strict: false, allErrors: true});
  const exercised = new Set();
  for (const [method, target, body, status, headers = {}] of exchanges) {
    const name = `${method} ${target.slice(0, 60)}`;
    const res = await fetch(base + target, {method, headers, body});
    const text = await res.text();
    if (res.status !== status) {
      fail(`${name}: status ${res.status}, expected ${status}: ${text.slice(0, 200)}`);
      continue;
    }
    const path = new URL(base + target).pathname;
    const entry = Object.entries(api.paths).find(([p]) =>
        new RegExp('^' + p.replace(/\{[^}]+\}/g, '[^/]+') + '$').test(path));
    const operation = entry && entry[1][method.toLowerCase()];
    if (!operation) {
      fail(`${name}: no described operation`);
      continue;
    }
    exercised.add(`${method} ${entry[0].replace(/\{[^}]+\}/g, '{}')}`);
    const response = operation.responses[String(res.status)];
    if (!response) {
      fail(`${name}: status ${res.status} is not described`);
      continue;
    }
    const type = (res.headers.get('content-type') || '').split(';')[0];
    const media = response.content && response.content[type];
    if (!media) {
      fail(`${name}: content type ${type} is not described for ${res.status}`);
      continue;
    }
    if (type === 'application/json' && !ajv.validate(media.schema, JSON.parse(text)))
      fail(`${name}: ${ajv.errorsText(ajv.errors)}`);
  }
  for (const d of described)
    if (!exercised.has(d)) fail(`${d} is described but not exercised`);
} finally {
  server.kill('SIGTERM');
  rmSync(dir, {recursive: true, force: true});
}
for (const f of failures) console.error('FAIL ' + f);
console.log(failures.length ? `${failures.length} failures` : 'OpenAPI description holds');
process.exit(failures.length ? 1 : 0);

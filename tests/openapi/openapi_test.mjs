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
let generated_count = 0;

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

  // Routes as the server's route table has them, with path parameters as {}.
  const routes_cc = readFileSync(
      join(source, 'tools/quillet/http/routes.cc'), 'utf8');
  const registered = new Set();
  for (const m of routes_cc.matchAll(/\{\{([^}]*)\},\s*\{"(GET|POST|PUT)"/g)) {
    const segments = [...m[1].matchAll(/"([^"]*)"/g)].map((s) => s[1] === '*' ? '{}' : s[1]);
    registered.add(`${m[2]} /${segments.join('/')}`);
  }
  if (registered.size < 10) fail(`only ${registered.size} routes read from routes.cc`);
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
    ['POST', '/calls/SC404/changes', '{"OPTION":1}', 404],
    ['PUT', '/items/S-9', item('S-9', 'ROOM'), 404],
    ['GET', '/calls', null, 431, {'X-Big': 'x'.repeat(20000)}],
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
    ['GET', '/readyz', null, 200],
    ['GET', '/whoami', null, 200],
    ['GET', '/audit?tail=5', null, 200],
    ['GET', '/audit?tail=x', null, 400],
    ['GET', '/calls/SC000001/audit', null, 200],
    ['GET', '/items/S-1/audit', null, 200],
    ['POST', '/calls', '{"SOLDTOBP":"B"}', 415, {'Content-Type': 'text/plain'}],
    ['POST', '/calls', '{"SOLDTOBP":"B"}', 403, {'Origin': 'http://evil.example'}],
    ['POST', '/calls', '{"SOLDTOBP":"B"}', 400, {'Idempotency-Key': ' '}],
    ['GET', '/metrics', null, 200],
    ['GET', '/openapi.json', null, 200],
    ['GET', '/', null, 200],
    ['GET', '/index.html', null, 200],
    ['GET', '/console.js', null, 200],
    ...['api', 'labels', 'options', 'dom', 'views', 'signin'].map(
        (m) => ['GET', `/${m}.js`, null, 200]),
    ['GET', '/update-options', null, 200],
    ['GET', '/console.css', null, 200],
  ];
  const ajv = new Ajv2020({strict: false, allErrors: true});
  const exercised = new Set();
  for (const [method, target, body, status, headers = {}] of exchanges) {
    const name = `${method} ${target.slice(0, 60)}`;
    const sent = body === null ? headers : {'Content-Type': 'application/json', ...headers};
    const res = await fetch(base + target, {method, headers: sent, body});
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
  // Another method on a described path: 405, Allow naming what is described.
  for (const [path, item] of Object.entries(api.paths)) {
    const target = path.replace('{number}', 'SC000001').replace('{serial}', 'S-1');
    const res = await fetch(base + target, {method: 'DELETE'});
    await res.text();
    const allow = (res.headers.get('allow') || '').split(', ').sort().join(', ');
    const want = ['get', 'post', 'put'].filter((m) => item[m])
                     .map((m) => m.toUpperCase()).sort().join(', ');
    if (res.status !== 405 || allow !== want)
      fail(`DELETE ${target}: ${res.status}, Allow "${allow}", expected 405 "${want}"`);
  }
  // Generated from the description: for every operation, valid requests
  // (each integer query parameter at its bounds, the body's example) and
  // invalid ones (integers out of bounds or not integers, a missing required
  // parameter, bodies that are not JSON, not objects or not sent as JSON).
  // Every answer must be described, valid against its schema and never 5xx;
  // an invalid request must be 4xx.
  const generated = [];
  for (const [path, item] of Object.entries(api.paths)) {
    for (const method of ['get', 'post', 'put']) {
      const op = item[method];
      if (!op) continue;
      const target = path.replace('{number}', 'SC000001').replace('{serial}', 'S-1');
      const query = (op.parameters || []).filter((p) => p.in === 'query');
      const base_query = query.filter((p) => p.required)
          .map((p) => `${p.name}=${encodeURIComponent(p.example ?? '90')}`);
      const at = (extra) => target +
          ([...base_query, ...extra].length ? '?' + [...base_query, ...extra].join('&') : '');
      const media = op.requestBody && op.requestBody.content['application/json'];
      const valid_body = media && JSON.stringify(
          media.example ?? {component: 'Items', values: [['SERIALNUMBER', 'S-1'], ['ROOM', '3']]});
      const M = method.toUpperCase();
      generated.push([M, at([]), valid_body ?? null, true]);
      for (const p of query) {
        const schema = p.schema || {};
        if (schema.type === 'integer') {
          for (const v of [schema.minimum ?? 0, schema.maximum ?? 1])
            generated.push([M, at([`${p.name}=${v}`]), valid_body ?? null, true]);
          const invalid = ['x', '1.5', ''];
          if (schema.minimum !== undefined) invalid.push(String(schema.minimum - 1));
          if (schema.maximum !== undefined) invalid.push(String(schema.maximum + 1));
          for (const v of invalid)
            generated.push([M, at([`${p.name}=${v}`]), valid_body ?? null, false]);
        }
        if (p.required)
          generated.push([M, target, valid_body ?? null, false]);
      }
      if (media) {
        for (const bad of ['{bad', '[1]', '"text"', ''])
          generated.push([M, target, bad, false]);
        generated.push([M, target, valid_body, false, {'Content-Type': 'text/plain'}]);
        generated.push([M, target, valid_body, false, {'Idempotency-Key': ''}]);
      }
    }
  }
  for (const [method, target, body, valid, headers = {}] of generated) {
    const name = `generated ${valid ? 'valid' : 'invalid'} ${method} ${target} ${String(body).slice(0, 40)}`;
    const sent = body === null ? headers : {'Content-Type': 'application/json', ...headers};
    const res = await fetch(base + target, {method, headers: sent, body});
    const text = await res.text();
    if (res.status >= 500) { fail(`${name}: ${res.status} ${text.slice(0, 200)}`); continue; }
    if (!valid && (res.status < 400 || res.status >= 500))
      fail(`${name}: an invalid request answered ${res.status}`);
    if (valid && [400, 405, 413, 415, 431].includes(res.status))
      fail(`${name}: a valid request answered ${res.status}: ${text.slice(0, 200)}`);
    const path = new URL(base + target).pathname;
    const entry = Object.entries(api.paths).find(([p]) =>
        new RegExp('^' + p.replace(/\{[^}]+\}/g, '[^/]+') + '$').test(path));
    const response = entry[1][method.toLowerCase()].responses[String(res.status)];
    if (!response) { fail(`${name}: status ${res.status} is not described`); continue; }
    const type = (res.headers.get('content-type') || '').split(';')[0];
    const media = response.content && response.content[type];
    if (!media) { fail(`${name}: content type ${type} is not described for ${res.status}`); continue; }
    if (type === 'application/json' && !ajv.validate(media.schema, JSON.parse(text)))
      fail(`${name}: ${ajv.errorsText(ajv.errors)}`);
  }
  if (generated.length < 50) fail(`only ${generated.length} generated requests`);
  generated_count = generated.length;

} finally {
  server.kill('SIGTERM');
  rmSync(dir, {recursive: true, force: true});
}
for (const f of failures) console.error('FAIL ' + f);
console.log(failures.length ? `${failures.length} failures` : 'OpenAPI description holds');
console.log(`${generated_count} generated requests`);
process.exit(failures.length ? 1 : 0);

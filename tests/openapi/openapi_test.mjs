// The OpenAPI description against the running server: /openapi.json is a
// valid OpenAPI 3 document of this version; every route the server
// registers is described and every described operation is exercised below;
// every answer's status is one its operation describes, and its body
// validates against that response's schema; and requests generated from the
// description itself, for every operation, are taken when it allows them and
// refused when it does not.
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
    ['GET', '/call-stats', null, 200],
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
    ['GET', '/events?after=0&call=SC000001', null, 200],
    ['GET', '/events?limit=0', null, 400],
    ['GET', '/items/S-1/audit', null, 200],
    ['POST', '/calls', '{"SOLDTOBP":"B"}', 415, {'Content-Type': 'text/plain'}],
    ['POST', '/calls', '{"SOLDTOBP":"B"}', 403, {'Origin': 'http://evil.example'}],
    ['POST', '/calls', '{"SOLDTOBP":"B"}', 400, {'Idempotency-Key': ' '}],
    ['GET', '/metrics', null, 200],
    ['GET', '/openapi.json', null, 200],
    ['GET', '/', null, 200],
    ['GET', '/index.html', null, 200],
    ['GET', '/console.js', null, 200],
    ...['api', 'labels', 'options', 'dom', 'views', 'signin', 'stats', 'keys', 'bulk',
        'progress', 'layout', 'history', 'live'].map(
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
  // Generated from the description: for every operation (HEAD too), its
  // request built from the examples, then each parameter in turn set to
  // every candidate below (its example, enum values and bounds, and awkward
  // text), and each body replaced by variants. Whether a request is valid is
  // decided by the description's own schemas, never by this test: a valid
  // request must not be refused (400, 405, 413, 415, 431) and an invalid one
  // must be 4xx; every answer must be described and valid against its
  // schema, and never 5xx.
  const awkward = ['', ' ', 'x', '0', '-1', '1.5', '90', '255', '256', 'null',
                   '"125"', '{', 'SC000001', 'SC999999', 'S-1', 'S-404', 'A/1',
                   'a b', 'a\tb', '.x.', 'ü', '\u0001', 'x\u007f', '9'.repeat(20),
                   'x'.repeat(201), '2026-12-01', '2026-12-01T08:30:00Z',
                   '2026-12-01T08:30:00+01:00', 'yesterday', 'true', 'whole'];
  const schemaOf = (p) => p.schema ?? p.content['application/json'].schema;
  // What the schema sees of a parameter's text: JSON for a parameter sent
  // as JSON, a number where an integer is taken, a list for an array.
  const valueOf = (p, text) => {
    if (p.content) {
      try { return {ok: true, value: JSON.parse(text)}; } catch { return {ok: false}; }
    }
    const schema = schemaOf(p);
    if (schema.type === 'integer' && /^-?\d+$/.test(text)) return {ok: true, value: Number(text)};
    if (schema.type === 'array') return {ok: true, value: [text]};
    return {ok: true, value: text};
  };
  const validParam = (p, text) => {
    const v = valueOf(p, text);
    return v.ok && ajv.validate(schemaOf(p), v.value);
  };
  const candidates = (p) => {
    const schema = schemaOf(p);
    const out = [];
    const example = p.content ? JSON.stringify(p.content['application/json'].example)
                              : p.example ?? schema.example;
    if (example !== undefined && !Array.isArray(example)) out.push(String(example));
    for (const e of schema.enum ?? []) out.push(String(e));
    for (const b of [schema.minimum, schema.maximum])
      if (b !== undefined) out.push(String(b), String(b - 1), String(b + 1));
    return [...new Set([...out, ...awkward])];
  };
  const encode = (text) => encodeURIComponent(text).replace(/\./g, '%2E');
  const generated = [];
  for (const [path, item] of Object.entries(api.paths)) {
    for (const method of ['get', 'head', 'post', 'put']) {
      const op = item[method];
      if (!op) continue;
      const params = [...(item.parameters ?? []), ...(op.parameters ?? [])];
      for (const p of params)
        if ((p.content ? p.content['application/json'].example : p.example ?? schemaOf(p).example) === undefined)
          fail(`${method.toUpperCase()} ${path}: parameter ${p.name} has no example`);
      // Every parameter at its example: the request the description shows.
      const example = (p) => p.content
          ? JSON.stringify(p.content['application/json'].example)
          : p.example ?? schemaOf(p).example;
      const build = (values, body) => {
        let target = path;
        const query = [];
        const headers = {};
        for (const p of params) {
          if (!(p.name in values)) continue;
          const v = values[p.name];
          if (p.in === 'path') target = target.replace(`{${p.name}}`, encode(v));
          if (p.in === 'query')
            for (const one of Array.isArray(v) ? v : [v]) query.push(`${p.name}=${encode(one)}`);
          if (p.in === 'header') headers[p.name] = v;
        }
        return [method.toUpperCase(), target + (query.length ? '?' + query.join('&') : ''),
                body, headers];
      };
      const shown = {};
      for (const p of params)
        if (p.required || p.in === 'path') shown[p.name] = example(p);
      const all = {...shown};
      for (const p of params)
        if (p.in === 'query') all[p.name] = example(p);
      const media = op.requestBody && op.requestBody.content['application/json'];
      const body = media && JSON.stringify(media.example ?? media.schema.example);
      generated.push([...build(shown, body ?? null), true]);
      generated.push([...build(all, body ?? null), true]);
      if (method === 'head') continue;  // GET's parameters, swept for GET
      for (const p of params) {
        for (const text of candidates(p)) {
          // A header's value is sent trimmed, and only in Latin-1 without
          // control characters but a tab (fetch sends no other).
          if (p.in === 'header' && /[^\t\x20-\x7e]/.test(text)) continue;
          if (p.in === 'path' && text === '') continue;  // another path
          const sent = p.in === 'header' ? text.trim() : text;
          generated.push([...build({...shown, [p.name]: sent}, body ?? null),
                          validParam(p, sent)]);
        }
      }
      if (media && body === undefined) fail(`${method} ${path}: its body has no example`);
      if (media && body !== undefined) {
        const example_body = JSON.parse(body);
        const variants = ['{bad', '', '[1]', '"text"', '{}', body];
        if (Array.isArray(example_body.values))
          variants.push(JSON.stringify({...example_body,
                                        values: example_body.values.filter((r) => r[0] !== 'SERIALNUMBER')}));
        for (const variant of variants) {
          let valid = false;
          try { valid = ajv.validate(media.schema, JSON.parse(variant)); } catch {}
          generated.push([...build(shown, variant), valid]);
        }
        const [M, target] = build(shown, body);
        generated.push([M, target, body, {'Content-Type': 'text/plain'}, false]);
      }
    }
  }
  const seen = new Set();
  for (const [method, target, body, headers, valid] of generated) {
    const key = JSON.stringify([method, target, body, headers]);
    if (seen.has(key)) continue;
    seen.add(key);
    const name = `generated ${valid ? 'valid' : 'invalid'} ${method} ${target.slice(0, 80)} ${JSON.stringify(headers)} ${String(body).slice(0, 40)}`;
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
    const operation = entry && entry[1][method.toLowerCase()];
    const response = operation && operation.responses[String(res.status)];
    if (!response) { fail(`${name}: status ${res.status} is not described`); continue; }
    if (method === 'HEAD') {
      if (text !== '') fail(`${name}: HEAD answered a body`);
      continue;
    }
    const type = (res.headers.get('content-type') || '').split(';')[0];
    const media = response.content && response.content[type];
    if (!media) { fail(`${name}: content type ${type} is not described for ${res.status}`); continue; }
    if (type === 'application/json' && !ajv.validate(media.schema, JSON.parse(text)))
      fail(`${name}: ${ajv.errorsText(ajv.errors)}`);
  }
  if (seen.size < 500) fail(`only ${seen.size} generated requests`);
  generated_count = seen.size;

} finally {
  server.kill('SIGTERM');
  rmSync(dir, {recursive: true, force: true});
}
for (const f of failures) console.error('FAIL ' + f);
console.log(failures.length ? `${failures.length} failures` : 'OpenAPI description holds');
console.log(`${generated_count} generated requests`);
process.exit(failures.length ? 1 : 0);

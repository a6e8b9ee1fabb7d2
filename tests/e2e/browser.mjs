// A visitor's use of the forum in the system's Chromium.
// usage: node browser.mjs BASE_URL OUT_DIR
// BASE_URL is the program's URL on a forum that starts empty; screenshots of
// the list, a message and the form at 390 px go to OUT_DIR. Prints a
// PASS or FAIL line per check.
import { chromium } from 'playwright-core';

const [base, outDir] = process.argv.slice(2);
function check(name, ok, why = '') {
  if (!ok) process.exitCode = 1;
  console.log(ok ? `PASS browser: ${name}` : `FAIL browser: ${name}: ${why}`);
}
const expect = (name, got, want) => check(name, JSON.stringify(got) === JSON.stringify(want), JSON.stringify(got));

async function visit(page) {
  const click = selector => Promise.all([page.waitForNavigation(), page.click(selector)]);
  const send = async fields => {
    // Fills in the form and sends it; whether the answer came; then on to the list.
    for (const [name, value] of Object.entries(fields)) await page.fill(`[name="${name}"]`, value);
    await click('[name="ACTION_NEWMESSAGE_POST"]');
    const shown = (await page.content()).includes('Your message have been posted !');
    await click('input[type="submit" i]');
    return shown;
  };
  // Number, indentation and subject of every row of the list.
  const rows = () => page.$$eval('a[href*="VIEWID="]', links => links.map(a => [Number(a.closest('tr').cells[0]
    .textContent), a.parentNode.textContent.match(/^\u00a0*/)[0].length / 3, a.textContent]));

  // Long words in a subject and a text: on a phone they must break, not widen the page.
  const long = 'https://example.org/a/long/address/that/does/not/break/anywhere/at/all?x=1234567890';
  const hello = [1, 0, 'Hello from Chromium'], answer = [2, 1, `RE: ${long}`.slice(0, 64)];
  await page.goto(base);
  await click('[name="ACTION_NEWMESSAGE"]');  // an empty form: the forum test's (in-process)
  expect('a post shows the confirmation, and the message is in the list', [await send({ NEWNAME: 'Anna Beispiel',
    NEWEMAIL: 'anna@example.org', NEWSUBJECT: hello[2], NEWTEXT: `First line\nsee ${long}` }),
  await rows()], [true, [hello]]);
  // The view's and the reply form's contents are the forum test's (in-process) and http_forum.py's.
  await click(`text=${hello[2]}`);
  await click('[name="ACTION_REPLYMESSAGE"]');
  // Name and e-mail come from the cookie Chromium kept: a post without them is refused.
  expect('a reply shows the confirmation and is indented under its message', [await send({ NEWSUBJECT: answer[2],
    NEWTEXT: 'Agreed.' }), await rows()], [true, [hello, answer]]);
  // On a phone, nothing may stick out sideways; the screenshots are for the eye. The rest runs at this width too.
  await page.setViewportSize({ width: 390, height: 900 });
  for (const [name, next] of [['list', `text=${hello[2]}`], ['message', '[name="ACTION_REPLYMESSAGE"]'], ['form']]) {
    await page.screenshot({ path: `${outDir}/${name}-390.png`, fullPage: true });
    expect(`the ${name} fits 390 px`, await page.evaluate(() => document.documentElement.scrollWidth
      - document.documentElement.clientWidth), 0);
    if (next) await click(next);
  }
  // Removal is http_forum.py's, on every server.
  for (let i = 3; i <= 60; i++) {
    await (await fetch(base, { method: 'POST', body: new URLSearchParams({ NEWNAME: 'Pager', NEWEMAIL: 'p@example.org',
      NEWSUBJECT: `Message ${i}`, NEWTEXT: `text ${i}`, ACTION_NEWMESSAGE_POST: 'Post' }) })).arrayBuffer();
  }
  await page.goto(base);
  await page.check('[name="nothread"]');  // the first button sends it
  // The last button of a name: on later pages |< follows Refresh, both named ACTION_SEARCH_FIRST.
  for (const [button, first, last, buttons] of [['NEXT', 26, 50, 'PREV NEXT'], ['NEXT', 51, 60, 'FIRST PREV'],
    ['PREV', 26, 50, 'PREV NEXT'], ['NEXT', 51, 60, 'FIRST PREV'], ['FIRST', 1, 25, 'NEXT']]) {
    await click(`[name="ACTION_SEARCH_${button}"] >> nth=-1`);
    const r = await rows(), shown = await page.$$eval('[name^="ACTION_SEARCH_"]', els => els
      .filter(e => !/Refresh/.test(e.value)).map(e => e.name.slice(14)).join(' '));
    expect(`60 messages, flat, after ${button}: rows ${first} to ${last}, unindented, box checked, buttons ${buttons}`,
      [r.map(x => x[0]).join(), r.every(x => x[1] === 0), await page.isChecked('[name="nothread"]'), shown],
      [Array.from({ length: last - first + 1 }, (_, k) => first + k).join(), true, true, buttons]);
  }
}

try {
  const chrome = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu',
    '--disable-quic', '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
  const page = await chrome.newPage({ viewport: { width: 1280, height: 900 } });
  page.setDefaultTimeout(15000);
  await visit(page).finally(() => chrome.close());
} catch (e) {
  check('script stopped', false, String(e.stack || e).split('\n').slice(0, 4).join(' | '));
}

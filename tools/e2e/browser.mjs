// Uses the forum the way a visitor does, in the system's Chromium.
// usage: node browser.mjs BASE_URL OUT_DIR
// BASE_URL is the program's URL on a forum that starts empty; screenshots go
// to OUT_DIR. Prints one "PASS browser: check" or "FAIL browser: check: why"
// line per check.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [base, outDir] = process.argv.slice(2);
let failures = 0;

function check(name, ok, why = '') {
  if (ok) console.log(`PASS browser: ${name}`);
  else { failures++; console.log(`FAIL browser: ${name}: ${why}`); }
  return ok;
}

// Number, indentation and subject of every row of the list on the page.
async function listRows(page) {
  return page.$$eval('tr', trs => trs.filter(tr => tr.querySelector('a[href*="VIEWID="]')).map(tr => {
    const cells = tr.querySelectorAll('td');
    const link = tr.querySelector('a');
    const indent = (cells[1].textContent.match(/^\u00a0*/) || [''])[0].length / 3;
    return { n: Number(cells[0].textContent), indent, subject: link.textContent, href: link.getAttribute('href') };
  }));
}

async function pagingButtons(page) {
  return page.$$eval('input[name^="ACTION_SEARCH_"]', els =>
    els.filter(e => !/Refresh/.test(e.value)).map(e => e.name));
}

async function postThroughForm(page, { name, email, subject, text }) {
  if (name !== undefined) await page.fill('input[name="NEWNAME"]', name);
  if (email !== undefined) await page.fill('input[name="NEWEMAIL"]', email);
  if (subject !== undefined) await page.fill('input[name="NEWSUBJECT"]', subject);
  if (text !== undefined) await page.fill('textarea[name="NEWTEXT"]', text);
  await Promise.all([page.waitForNavigation(), page.click('input[name="ACTION_NEWMESSAGE_POST"]')]);
}

async function submit(page, selector) {
  await Promise.all([page.waitForNavigation(), page.click(selector)]);
}

async function run() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'parlino-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1100, height: 900 },
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    page.setDefaultTimeout(15000);

    // A first post through the form.
    await page.goto(base);
    check('list page opens with the New Message button', await page.isVisible('input[name="ACTION_NEWMESSAGE"]'));
    await submit(page, 'input[name="ACTION_NEWMESSAGE"]');
    check('new message form starts empty', await page.inputValue('input[name="NEWNAME"]') === '',
      await page.inputValue('input[name="NEWNAME"]'));
    await postThroughForm(page, { name: 'Anna Beispiel', email: 'anna@example.org', subject: 'Hello from Chromium',
      text: 'First line\nSecond <b>bold</b> line' });
    check('post shows the confirmation', (await page.content()).includes('Your message have been posted !'));
    await submit(page, 'input[type="submit" i]');

    let rows = await listRows(page);
    check('the message is in the list', rows.length === 1 && rows[0].subject === 'Hello from Chromium',
      JSON.stringify(rows));

    // Open it and answer it.
    await Promise.all([page.waitForNavigation(), page.click('text=Hello from Chromium')]);
    const viewText = await page.innerText('body');
    check('view shows sender, subject and text', viewText.includes('Anna Beispiel')
      && viewText.includes('Hello from Chromium') && viewText.includes('First line')
      && await page.isVisible('b:text("bold")'), viewText);
    await submit(page, 'input[name="ACTION_REPLYMESSAGE"]');
    const replySubject = await page.inputValue('input[name="NEWSUBJECT"]');
    const replyText = await page.inputValue('textarea[name="NEWTEXT"]');
    check('reply form offers RE: and the quoted text', replySubject === 'RE: Hello from Chromium'
      && replyText === '>First line\n>Second <b>bold</b> line\n', JSON.stringify([replySubject, replyText]));
    check('reply form is filled from the cookie',
      await page.inputValue('input[name="NEWNAME"]') === 'Anna Beispiel'
      && await page.inputValue('input[name="NEWEMAIL"]') === 'anna@example.org ',
      JSON.stringify([await page.inputValue('input[name="NEWNAME"]'), await page.inputValue('input[name="NEWEMAIL"]')]));
    await postThroughForm(page, { name: 'Bob', email: 'bob@example.org', text: replyText + 'Agreed.' });
    check('reply shows the confirmation', (await page.content()).includes('Your message have been posted !'));
    await submit(page, 'input[type="submit" i]');
    rows = await listRows(page);
    check('the reply is indented under its message', rows.length === 2 && rows[0].indent === 0
      && rows[1].indent === 1 && rows[1].subject === 'RE: Hello from Chromium', JSON.stringify(rows));

    // The cookie now holds the reply's poster.
    await submit(page, 'input[name="ACTION_NEWMESSAGE"]');
    check('next new message form is filled from the cookie',
      await page.inputValue('input[name="NEWNAME"]') === 'Bob'
      && await page.inputValue('input[name="NEWEMAIL"]') === 'bob@example.org ',
      JSON.stringify([await page.inputValue('input[name="NEWNAME"]'), await page.inputValue('input[name="NEWEMAIL"]')]));
    await postThroughForm(page, { subject: 'A third one', text: 'Third.' });
    await submit(page, 'input[type="submit" i]');
    await page.screenshot({ path: path.join(outDir, 'list.png'), fullPage: true });

    // Removal by the administrator through the reply form.
    await Promise.all([page.waitForNavigation(), page.click('text=A third one')]);
    await submit(page, 'input[name="ACTION_REPLYMESSAGE"]');
    await postThroughForm(page, { name: 'tavik', email: 'lumo', subject: 'remove', text: 'spam' });
    check('administrator removal shows the removed page',
      (await page.content()).includes('The message has been removed !'));
    await submit(page, 'input[type="submit" i]');
    rows = await listRows(page);
    check('removed message is gone from the list',
      rows.length === 2 && !rows.some(r => r.subject === 'A third one'), JSON.stringify(rows));

    // Sixty messages, seen flat, 25 a page.
    for (let i = rows.length; i < 60; i++) {
      const body = new URLSearchParams({ REPLYID: '0', NEWNAME: 'Pager', NEWEMAIL: 'p@example.org',
        NEWSUBJECT: `Message ${i + 1}`, NEWTEXT: `text ${i + 1}`, ACTION_NEWMESSAGE_POST: 'Post' });
      const r = await fetch(base, { method: 'POST', body });
      await r.arrayBuffer();
    }
    await page.goto(base);
    await page.check('input[name="nothread"]');
    await submit(page, 'input[name="ACTION_SEARCH_FIRST"] >> nth=0');
    const expectPage = async (what, first, last, buttons) => {
      const r = await listRows(page);
      const b = await pagingButtons(page);
      const numbers = r.map(x => x.n);
      const want = Array.from({ length: last - first + 1 }, (_, k) => first + k);
      check(`${what}: rows ${first} to ${last}, buttons ${buttons.join(' ') || 'none'}`,
        JSON.stringify(numbers) === JSON.stringify(want) && JSON.stringify(b) === JSON.stringify(buttons)
        && r.every(x => x.indent === 0) && await page.isChecked('input[name="nothread"]'),
        JSON.stringify({ numbers, b }));
    };
    await expectPage('No Replies page 1', 1, 25, ['ACTION_SEARCH_NEXT']);
    await submit(page, 'input[name="ACTION_SEARCH_NEXT"]');
    await expectPage('next page', 26, 50, ['ACTION_SEARCH_PREV', 'ACTION_SEARCH_NEXT']);
    await submit(page, 'input[name="ACTION_SEARCH_NEXT"]');
    await expectPage('last page', 51, 60, ['ACTION_SEARCH_FIRST', 'ACTION_SEARCH_PREV']);
    await page.screenshot({ path: path.join(outDir, 'list-page3.png'), fullPage: true });
    await submit(page, 'input[name="ACTION_SEARCH_PREV"]');
    await expectPage('previous page', 26, 50, ['ACTION_SEARCH_PREV', 'ACTION_SEARCH_NEXT']);
    await submit(page, 'input[name="ACTION_SEARCH_NEXT"]');
    await submit(page, 'input[name="ACTION_SEARCH_FIRST"] >> nth=1');
    await expectPage('first page button', 1, 25, ['ACTION_SEARCH_NEXT']);
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

try {
  await run();
} catch (e) {
  failures++;
  console.log(`FAIL browser: script stopped: ${String(e.stack || e).split('\n').slice(0, 4).join(' | ')}`);
}
process.exit(failures ? 1 : 0);

// Sends files through upload.html of a running `tarnwick-serve receive` with a real browser
// and compares what the download folder holds with what was sent.
// Usage: node upload.mjs PORT DOWNLOAD-FOLDER   (the folder must start empty)
// Needs the npm package playwright-core and Debian's chromium.
import { chromium } from 'playwright-core';
import { createHash, randomBytes } from 'node:crypto';
import { mkdtemp, readFile, readdir, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const [port, downloads] = process.argv.slice(2);
if (!port || !downloads)
    throw new Error('usage: node upload.mjs PORT DOWNLOAD-FOLDER');
const base = `http://127.0.0.1:${port}/`;
const sha = (bytes) => createHash('sha256').update(bytes).digest('hex');

// What Chromium's own delimiter looks like, inside a file's content.
const lookalike = Buffer.from('\r\n------WebKitFormBoundaryAAAAAAAAAAAAAAAA\r\n-------\r\n--');
const files = [
    ['several MiB.bin', randomBytes(6 * 1024 * 1024 + 3)],
    ['empty.txt', Buffer.alloc(0)],
    ['r\u00e9sum\u00e9 \u65e5\u672c.txt', Buffer.from('UTF-8 name\n')],
    ['say "hi".txt', Buffer.from('a quote in the name\n')],
    ['lookalike.bin', Buffer.concat([randomBytes(1000), lookalike, randomBytes(1000), lookalike])],
];
if (await readdir(downloads).then((names) => names.length))
    throw new Error(`${downloads} is not empty`);

const source = await mkdtemp(join(tmpdir(), 'upload-source-'));
const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const outside = [];
try {
    const paths = [];
    for (const [name, bytes] of files) {
        paths.push(join(source, name));
        await writeFile(paths.at(-1), bytes);
    }

    // Scripts on, on a phone-sized screen: several files by the picker, one by dropping.
    const phone = await browser.newContext({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
    const page = await phone.newPage();
    page.on('request', (request) => { if (!request.url().startsWith(base)) outside.push(request.url()); });
    await page.goto(base);
    if (await page.evaluate(() => document.documentElement.scrollWidth > window.innerWidth))
        throw new Error('the page is wider than a phone screen');

    const states = page.locator('#list li');
    const settled = async (count) => {
        await page.waitForFunction((n) => {
            const items = document.querySelectorAll('#list li');
            return items.length === n && [...items].every((item) => item.className !== '');
        }, count, { timeout: 60000 });
        return states.evaluateAll((items) => items.map((item) => [item.querySelector('.name').textContent,
                                                                   item.className]));
    };
    await page.locator('input[type="file"]').setInputFiles(paths);
    let results = await settled(files.length);

    await page.evaluate(() => {
        const transfer = new DataTransfer();
        transfer.items.add(new File(['dropped on the page\n'], 'dropped.txt'));
        document.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
    });
    // A name already there is refused, and the page says so.
    await page.locator('input[type="file"]').setInputFiles(paths[2]);
    results = await settled(files.length + 2);
    const expected = [...files.map(([name]) => [name, 'stored']), ['dropped.txt', 'stored'], [files[2][0], 'exists']];
    if (JSON.stringify(results) !== JSON.stringify(expected))
        throw new Error(`outcomes ${JSON.stringify(results)}, expected ${JSON.stringify(expected)}`);
    if (page.url() !== base)
        throw new Error('the page was left: ' + page.url());

    // Scripts off: the plain form, one file, and the result page.
    const plain = await browser.newContext({ javaScriptEnabled: false });
    const form = await plain.newPage();
    form.on('request', (request) => { if (!request.url().startsWith(base)) outside.push(request.url()); });
    await form.goto(base);
    const plainFile = join(source, 'plain form.bin');
    await writeFile(plainFile, randomBytes(300000));
    await form.locator('input[type="file"]').setInputFiles(plainFile);
    await Promise.all([form.waitForNavigation(), form.locator('button[type="submit"]').click()]);
    if (await form.locator('meta[name="upload-result"]').getAttribute('content') !== 'stored')
        throw new Error('the plain form did not store its file:\n' + await form.content());

    if (outside.length)
        throw new Error('requests outside the server: ' + outside.join(', '));

    // Byte for byte.
    const sent = new Map(files);
    sent.set('dropped.txt', Buffer.from('dropped on the page\n'));
    sent.set('plain form.bin', await readFile(plainFile));
    const stored = (await readdir(downloads)).sort();
    if (JSON.stringify(stored) !== JSON.stringify([...sent.keys()].sort()))
        throw new Error(`the folder holds ${JSON.stringify(stored)}`);
    for (const [name, bytes] of sent) {
        if (sha(await readFile(join(downloads, name))) !== sha(bytes))
            throw new Error(`${name} differs from what was sent`);
    }
    console.log(`stored ${sent.size} files byte for byte (scripts on: ${files.length + 1}, one refused as taken; `
                + 'scripts off: 1)');
} finally {
    await browser.close();
    await rm(source, { recursive: true, force: true });
}

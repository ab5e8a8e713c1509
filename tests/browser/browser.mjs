// Debian's chromium against tarnwick-serve, used as a person would: sign in with the password
// form and download a file from the listing; send two files from the upload page.
// Usage: TARNWICK_PLAYWRIGHT_DIR=DIR node browser.mjs PATH-TO-tarnwick-serve, where DIR is the
// folder of `npm install --prefix DIR playwright-core`. Exit status: 0 passed, 1 failed,
// 77 skipped (no chromium or playwright-core, or chromium does not start).
import { spawn } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { existsSync } from 'node:fs';
import { mkdir, mkdtemp, readFile, readdir, rm, writeFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const skip = (why) => { console.log(`SKIPPED: ${why}`); process.exit(77); };
const fail = (message) => { throw new Error(message); };
const [program, chromium, where] = [process.argv[2], '/usr/bin/chromium', process.env.TARNWICK_PLAYWRIGHT_DIR];
if (!existsSync(chromium)) skip(`${chromium} is missing (apt-get install chromium)`);
let playwright;
try { // ESM imports ignore NODE_PATH, hence a require() rooted in the install folder
    playwright = createRequire(resolve(where || '/nonexistent') + '/')('playwright-core');
} catch (error) {
    skip(`no playwright-core in TARNWICK_PLAYWRIGHT_DIR="${where ?? ''}" (${error.code ?? error.message})`);
}

const scratch = await mkdtemp(join(tmpdir(), 'tarnwick-browser-'));
const [home, shared, downloads, sources] = ['home', 'shared', 'downloads', 'sources'].map((name) => join(scratch, name));
await Promise.all([home, shared, downloads, sources].map((folder) => mkdir(folder)));
// The password comes from the environment, where other local users cannot read it.
const env = { ...process.env, HOME: home, TARNWICK_PASSWORD: 'open sesame' };
const args = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
              '--disable-background-networking', '--disable-component-update', '--disable-sync'];
// In the C locale (isolate.sh's) chromium silently drops picked files with non-ASCII names.
const browserEnv = { ...env, LC_ALL: 'C.UTF-8' };
const launching = playwright.chromium.launch({ executablePath: chromium, env: browserEnv, args });
const browser = await launching.catch(async (error) => {
    await rm(scratch, { recursive: true, force: true });
    skip(`chromium does not start: ${error.message.split('Call log:')[0]}`);
});

// tarnwick-serve on a port the system picks; ready once it has printed its addresses.
const servers = [];
async function serve(...options) {
    const server = Object.assign(spawn(program, ['--port', '0', '--quiet', ...options], { env }), { output: '' });
    servers.push(server);
    server.stderr.on('data', (data) => { server.output += data; });
    return new Promise((ready, reject) => {
        server.stdout.on('data', (data) => {
            const port = (server.output += data).match(/127\.0\.0\.1:(\d+)\//);
            if (port) ready(`http://127.0.0.1:${port[1]}/`);
        });
        server.once('exit', (code) => reject(new Error(`tarnwick-serve ended (${code}):\n${server.output}`)));
    });
}

try {
    // 1. Password mode: a wrong password is said beside the field; the right one ends on "/",
    // which a reload shows again.
    // The name reads as written only if the page escapes "&" and the link encodes "#" (which
    // would start a fragment); the bytes hold every value, against any text conversion.
    const name = 'report #1 &amp; co.bin', wanted = randomBytes(200000);
    await writeFile(join(shared, name), wanted);
    await writeFile(join(shared, 'report 2.bin'), randomBytes(1000));
    const page = await (await browser.newContext({ acceptDownloads: true })).newPage();
    const base = await serve('--auth', 'password', '--listing', 'phone', '--inline', 'folder', shared);
    await page.goto(base + 'report%202.bin');
    const password = page.locator('input[name="password"]');
    const link = page.locator(`a[href="${encodeURIComponent(name)}"]`);
    await password.fill('open sesam');
    await page.getByRole('button', { name: 'Sign in' }).click();
    await page.getByText('That password was not right.').waitFor();
    await password.fill('open sesame');
    await Promise.all([page.waitForURL(base), page.getByRole('button', { name: 'Sign in' }).click()]);
    await page.reload();
    if (await link.count() !== 1) fail(`no link to ${name} after signing in:\n${await page.content()}`);
    const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
    const got = await readFile(await download.path());
    if (!got.equals(wanted)) fail(`downloaded ${got.length} bytes, not the ${wanted.length} shared ones`);
    if (download.suggestedFilename() !== name) fail(`the download is named ${download.suggestedFilename()}`);

    // 2. On a phone the listing fits the screen at a readable size; a picture and a PDF open
    // in the browser; a seek in a long sound asks for the middle of the file and gets that part.
    const wave = Buffer.alloc(44 + 8000 * 4000);
    wave.write('RIFF', 0); wave.writeUInt32LE(wave.length - 8, 4); wave.write('WAVEfmt ', 8);
    [16, 1, 1, 8000, 8000, 1, 8].forEach((v, i) => (i < 1 || i > 3 ? wave.writeUInt32LE : wave.writeUInt16LE)
        .call(wave, v, [16, 20, 22, 24, 28, 32, 34][i]));
    wave.write('data', 36); wave.writeUInt32LE(8000 * 4000, 40);
    await writeFile(join(shared, 'long.wav'), wave);
    const phone = await (await browser.newContext({ viewport: { width: 390, height: 844 }, isMobile: true })).newPage();
    await phone.goto(base);
    await phone.locator('input[name="password"]').fill('open sesame');
    await phone.getByRole('button', { name: 'Sign in' }).click();
    await phone.locator('.name').first().waitFor();
    const layout = await phone.evaluate(() => [document.documentElement.scrollWidth, innerWidth,
        parseFloat(getComputedStyle(document.querySelector('.name')).fontSize)]);
    if (layout[0] > layout[1] || layout[2] < 14) fail(`the phone listing is ${layout[0]} wide in ${layout[1]}, text ${layout[2]} px`);
    // A picture and a PDF open in the browser: a download would make goto throw.
    for (const file of ['photo.png', 'paper.pdf']) await writeFile(join(shared, file), 'x').then(() => phone.goto(base + file));
    const parts = [];
    phone.on('response', (answer) => answer.status() === 206 && parts.push(answer.headers()['content-range']));
    await phone.goto(base + 'long.wav');
    await phone.evaluate(() => new Promise((seeked) => {
        const media = document.querySelector('video, audio');
        media.addEventListener('seeked', seeked, { once: true });
        media.currentTime = 2000;
    }));
    if (!parts.some((range) => !range.startsWith('bytes 0-'))) fail(`no part from the middle: ${parts}`);

    // 3. Receive mode: with scripts on, choosing files is what sends them, one post each.
    // A big file in many reads; a UTF-8 name with quotes and lines that look like a delimiter.
    // The big one's name is taken, and so is the first other name offered for it.
    const sent = new Map([['photo one.jpg', randomBytes(3 * 1024 * 1024 + 7)],
                          ['naïve "notes".txt', Buffer.from('one\r\n--\r\n\r\n--last, no newline')]]);
    for (const [name, bytes] of sent) await writeFile(join(sources, name), bytes);
    for (const taken of ['photo one.jpg', 'photo one (2).jpg']) await writeFile(join(downloads, taken), 'mine');
    const upload = await (await browser.newContext()).newPage();
    await upload.goto(await serve('--download-dir', downloads, 'receive'));
    const picked = [...sent.keys()].map((name) => join(sources, name));
    await upload.locator('input[type="file"]').setInputFiles(picked);
    // Each file gets a line at once and a class on it when the server has answered for it.
    // (Locators, not waitForFunction: the page's Content-Security-Policy forbids eval.)
    await upload.locator('#list li').nth(sent.size - 1).waitFor();
    await upload.locator('#list li:not([class])').first().waitFor({ state: 'detached' });
    const said = await upload.locator('#list li').evaluateAll((lines) => lines.map((line) => line.className));
    if (said.join() !== 'exists,stored') fail(`the upload page says ${said}`);
    await upload.getByRole('button', { name: 'Send as photo one (2).jpg' }).click();
    await upload.locator('#list li.stored', { hasText: 'photo one (3).jpg' }).waitFor();
    sent.set('photo one (3).jpg', sent.get('photo one.jpg')).set('photo one.jpg', Buffer.from('mine'));
    sent.set('photo one (2).jpg', Buffer.from('mine'));
    const stored = (await readdir(downloads)).sort();
    if (stored.join('/') !== [...sent.keys()].sort().join('/')) fail(`the download folder holds ${stored}`);
    for (const [name, bytes] of sent)
        if (!(await readFile(join(downloads, name))).equals(bytes)) fail(`${name} is not stored byte for byte`);
} catch (error) {
    console.error(`FAILED: ${error.message}`);
    process.exitCode = 1;
} finally {
    await browser.close();
    // A server must end with status 0 on SIGTERM: a crash or a sanitizer's report fails the test.
    for (const server of servers) {
        if (server.exitCode === null && server.signalCode === null) {
            server.kill('SIGTERM');
            setTimeout(() => server.kill('SIGKILL'), 10000).unref(); // a hung one is killed, and fails
            await once(server, 'exit');
        }
        if (server.exitCode !== 0 && !process.exitCode) {
            console.error(`FAILED: tarnwick-serve ended with ${server.exitCode ?? server.signalCode}`);
            process.exitCode = 1;
        }
    }
    await rm(scratch, { recursive: true, force: true });
}
if (!process.exitCode) console.log(`PASSED with chromium ${browser.version()}: signed in, downloaded a file, uploaded two`);

// Logs in to a running tarnwick-serve with a real browser and downloads a file.
// Usage: node login_download.mjs PORT PASSWORD FILE-NAME EXPECTED-CONTENT
// Needs the npm package playwright-core and Debian's chromium.
import { chromium } from 'playwright-core';
import { readFile } from 'node:fs/promises';

const [port, password, fileName, expected] = process.argv.slice(2);
const base = `http://127.0.0.1:${port}/`;

const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
    const context = await browser.newContext({ acceptDownloads: true });
    const page = await context.newPage();

    await page.goto(base);
    const field = page.locator('input[name="password"]');
    if (await field.count() !== 1)
        throw new Error('no login form on the first page');

    await field.fill('wrong');
    await Promise.all([page.waitForNavigation(), field.press('Enter')]);
    if (await page.locator('input[name="password"]').count() !== 1)
        throw new Error('a wrong password was let in');

    await page.locator('input[name="password"]').fill(password);
    await Promise.all([page.waitForNavigation(), page.locator('input[name="password"]').press('Enter')]);
    const link = page.locator(`a[href="${encodeURIComponent(fileName)}"]`);
    if (await link.count() !== 1)
        throw new Error('the listing does not link ' + fileName + ':\n' + await page.content());

    const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
    const content = await readFile(await download.path(), 'utf8');
    if (content !== expected)
        throw new Error(`downloaded ${JSON.stringify(content)}, expected ${JSON.stringify(expected)}`);
    console.log(`logged in and downloaded ${download.suggestedFilename()} (${content.length} bytes)`);
} finally {
    await browser.close();
}

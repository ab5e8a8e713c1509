// Opens the thumbnail folder page of a running tarnwick-serve (started with --thumbnails)
// in a real browser: first the icons, then, after the page's own reloads, the scaled
// photos. Saves a screenshot of each state.
// Usage: node thumbnails.mjs PORT PHOTO-COUNT SCREENSHOT-PREFIX
// Needs the npm package playwright-core and Debian's chromium.
import { chromium } from 'playwright-core';

const [port, photoCount, prefix] = process.argv.slice(2);
const base = `http://127.0.0.1:${port}/`;

const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});

// What the page's pictures are: their addresses and whether each one loaded.
async function pictures(page) {
    return page.$$eval('img', images => images.map(image => ({
        src: image.getAttribute('src'),
        loaded: image.complete && image.naturalWidth > 0,
        width: image.naturalWidth,
    })));
}

try {
    const page = await (await browser.newContext({ viewport: { width: 700, height: 600 } })).newPage();
    const outside = [];
    page.on('request', request => {
        if (!request.url().startsWith(base))
            outside.push(request.url());
    });

    await page.goto(base);
    await page.waitForLoadState('load');
    const first = await pictures(page);
    const refresh = await page.locator('meta[http-equiv="refresh"]').count();
    if (refresh !== 1)
        throw new Error('the first page does not reload itself');
    if (!first.some(picture => picture.src.endsWith('/image.png')))
        throw new Error('no photo waits with the image icon: ' + JSON.stringify(first));
    if (!first.every(picture => picture.loaded))
        throw new Error('a picture did not load: ' + JSON.stringify(first));
    await page.screenshot({ path: `${prefix}-first.png`, fullPage: true });

    // The page reloads every two seconds until it carries no refresh line.
    const deadline = Date.now() + 120000;
    for (;;) {
        await page.waitForLoadState('load');
        if (await page.locator('meta[http-equiv="refresh"]').count() === 0)
            break;
        if (Date.now() > deadline)
            throw new Error('the page still reloads after two minutes');
        await page.waitForTimeout(500);
    }
    await page.waitForLoadState('load');
    const last = await pictures(page);
    const scaled = last.filter(picture => picture.width === 128 && !picture.src.includes('/img/'));
    if (scaled.length !== Number(photoCount))
        throw new Error(`${scaled.length} scaled photos shown, expected ${photoCount}: ` + JSON.stringify(last));
    if (!last.every(picture => picture.loaded))
        throw new Error('a picture did not load: ' + JSON.stringify(last));
    const background = await page.evaluate(() => {
        const image = new Image();
        image.src = document.body.getAttribute('background');
        return image.decode().then(() => image.naturalWidth, () => 0);
    });
    if (background === 0)
        throw new Error('the background image did not load');
    if (outside.length)
        throw new Error('requests outside the server: ' + outside.join(' '));
    await page.screenshot({ path: `${prefix}-ready.png`, fullPage: true });
    console.log(`icons first (${first.length} pictures), then ${scaled.length} scaled photos; screenshots ${prefix}-*.png`);
} finally {
    await browser.close();
}

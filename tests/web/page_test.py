#!/usr/bin/python3
# The page of `haul serve --listen` in headless Chromium, against a real owner and a small file
# server on 127.0.0.1. Usage: page_test.py --haul PATH --screenshots DIR [unittest names]

import argparse, contextlib, ctypes, pathlib, hashlib, http.client, http.server, json, os, re, shutil, signal
import socket, sqlite3, subprocess, sys, tempfile, threading, time, unittest, urllib.parse, urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

ARGS = None
HOSTILE = "<img src=x onerror=document.title='owned'>"


def die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: no orphan if the test is killed


def wait_until(what, condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.1)
    return value


# /file/NAME?size=N&rate=R[&disposition=NAME]: byte i is i % 256, R bytes/s at most, honouring
# "Range: bytes=N-"; any other path: 410. Every request is kept with its Range.
class FileHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    pattern = bytes(range(256)) * 257

    log_message = lambda *args: None  # quiet

    def do_GET(self):
        self.server.requests.append((self.path, self.headers.get('Range')))
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        size = int(query.get('size', 100000)) if url.path.startswith('/file/') else 0
        match = re.fullmatch(r'bytes=(\d+)-', self.headers.get('Range') or '')
        position = int(match[1]) if match and int(match[1]) < size else 0
        self.send_response(206 if match and size else 200 if size else 410)
        if match and size:
            self.send_header('Content-Range', 'bytes %d-%d/%d' % (position, size - 1, size))
        self.send_header('Content-Length', str(size - position))
        self.send_header('Content-Type', 'application/octet-stream')
        if 'disposition' in query:
            self.send_header('Content-Disposition', 'attachment; filename="%s"' % query['disposition'])
        self.end_headers()
        try:
            while position < size:
                n = min(16384, size - position)
                self.wfile.write(self.pattern[position % 256:position % 256 + n])
                position += n
                time.sleep(n / int(query['rate']) if 'rate' in query else 0)
        except (BrokenPipeError, ConnectionResetError):
            pass


class FileServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(('127.0.0.1', 0), FileHandler)
        self.requests = []
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def url(self, name, size=100000, rate=None, disposition=None, path='/file/'):
        query = {key: value for key, value in (('size', size), ('rate', rate), ('disposition', disposition)) if value}
        return 'http://127.0.0.1:%d%s%s?%s' % (self.server_port, path, urllib.parse.quote(name),
                                              urllib.parse.urlencode(query))

# `haul serve --listen 127.0.0.1:PORT` on a data directory, its messages (requests too) in a log
# file. Requests from the interface may save under DATA/downloads only.
class Owner:

    def __init__(self, data, port, settings):
        self.data, self.port, self.log = data, port, open(os.path.join(data, 'serve-test.log'), 'a')
        command = [ARGS.haul, '--data-dir', data + '/', '--set', 'Downloader/StatusInterval=200',
                   '--set', 'Service/AllowedDirectories=' + os.path.join(data, 'downloads')]
        command += [word for setting in settings for word in ('--set', setting)]
        self.process = subprocess.Popen(command + ['serve', '--listen', '127.0.0.1:%d' % port, '--log-level', 'debug'],
                                        stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        try:
            wait_until('the owner to listen', lambda: (page := self.get('/')) and page.status == 200)
        except BaseException:
            self.stop()  # no cleanup holds it yet
            raise
        self.token = pathlib.Path(data, 'token').read_text().strip()

    def page_link(self):  # a new one-time link and its code, as `haul page` prints them
        done = subprocess.run([ARGS.haul, '--data-dir', self.data + '/', 'page'], capture_output=True, text=True,
                              timeout=30)
        match = re.fullmatch(r'(http://127\.0\.0\.1:%d/#code=([0-9a-f]{64}))\n' % self.port, done.stdout)
        if done.returncode or not match:
            raise AssertionError('haul page: %d %r %r' % (done.returncode, done.stdout, done.stderr))
        return match[1], match[2]

    # The answer, its body read unless it is an event stream; None while nothing listens.
    # headers: (name, value) pairs, repeatable; a Host of the interface's own unless one is given.
    def request(self, method, path, headers=(), body=None):
        if self.process.poll() is not None:
            raise AssertionError('haul serve exited with %d' % self.process.returncode)
        headers = list(headers)
        if not any(name == 'Host' for name, value in headers):
            headers.insert(0, ('Host', '127.0.0.1:%d' % self.port))
        connection = http.client.HTTPConnection('127.0.0.1', self.port, timeout=10)
        try:
            connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            for name, value in headers + ([('Content-Length', str(len(body)))] if body is not None else []):
                connection.putheader(name, value)
            connection.endheaders(body)
            answer = connection.getresponse()
            answer.body = b'' if answer.getheader('Content-Type') == 'text/event-stream' else answer.read()
            return answer
        except OSError:
            return None
        finally:
            connection.close()

    def get(self, path, host=None, token=None):
        headers = [('Host', host)] if host else []
        return self.request('GET', path, headers + ([('Authorization', 'Bearer ' + token)] if token else []))

    def log_text(self):
        return pathlib.Path(self.data, 'serve-test.log').read_text(errors='replace')

    def stop(self):  # one that hangs fails the test, and ends with it
        self.process.terminate()
        self.log.close()
        return self.process.wait(60)


def on_alarm(signum, frame):
    raise TimeoutError('the test ran out of time')


# An owner, a file server and a browser per test.
class PageTest(unittest.TestCase):
    settings = {'test_thousand_rows': ('Downloader/MaxDownloads=20',)}

    # Cleanups run even when setUp fails half-way or the alarm fires, so nothing is left behind.
    def setUp(self):
        signal.signal(signal.SIGALRM, on_alarm)
        signal.alarm(150)
        self.addCleanup(signal.alarm, 0)
        self.temp = tempfile.mkdtemp(prefix='haul-web-')
        self.addCleanup(shutil.rmtree, self.temp, ignore_errors=True)
        self.downloads = os.path.join(self.temp, 'downloads')
        self.files = FileServer()
        self.addCleanup(self.files.server_close)
        self.addCleanup(self.files.shutdown)
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            self.port = s.getsockname()[1]
        self.root = 'http://127.0.0.1:%d/' % self.port
        self.secrets = []  # every token and code this test saw: never in a console message or a log
        self.console_messages = []
        self.owner = self.start_owner()
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                         '--window-size=1280,1000', '--user-data-dir=' + os.path.join(self.temp, 'profile')):
            options.add_argument(argument)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        driver = Service('/usr/bin/chromedriver', popen_kw={'preexec_fn': die_with_parent})
        self.browser = webdriver.Chrome(service=driver, options=options)
        self.browser_open = True
        self.addCleanup(lambda: self.browser_open and self.browser.quit())
        self.browser.set_page_load_timeout(20)
        self.browser.set_script_timeout(20)

    def start_owner(self):
        owner = Owner(self.temp, self.port, self.settings.get(self._testMethodName, ()))
        self.addCleanup(owner.stop)
        self.secrets.append(owner.token)
        return owner

    def page_link(self):
        link, code = self.owner.page_link()
        self.secrets.append(code)
        return link

    # The link signs in, and the code leaves the address bar before the page connects.
    def open_page(self, link=None):
        link = link or self.page_link()
        self.navigate(link)
        wait_until('the page to connect', lambda: self.connection() == 'open')
        self.assertEqual(self.browser.current_url, self.root, 'no code in the address bar')
        return link

    def navigate(self, url):  # a load of its own, even where only the fragment differs
        self.browser.get('about:blank')
        self.browser.get(url)

    def token_form(self):  # the form, once shown, and the note above it
        form = self.browser.find_element(By.ID, 'token-form')
        wait_until('the token form', form.is_displayed)
        return form, self.browser.find_element(By.ID, 'token-note').text

    def sign_in(self, token):
        form = self.token_form()[0]
        form.find_element(By.ID, 'token').send_keys(token)
        form.find_element(By.CSS_SELECTOR, 'button').click()

    def connection(self):
        return self.browser.execute_script('return document.getElementById("connection").dataset.state')

    def screenshot(self, name):
        self.browser.save_screenshot(os.path.join(ARGS.screenshots, name + '.png'))

    def rows(self):  # every row as the page shows it, keyed by its name
        return {row['name']: row for row in self.browser.execute_script("""
            const text = (li, name) => li.querySelector('.' + name).textContent;
            return [...document.querySelectorAll('#rows li')].map(li => ({
              id: li.dataset.id, state: li.dataset.state, name: text(li, 'name'), bytes: text(li, 'bytes'),
              rate: text(li, 'rate'), left: text(li, 'left'), detail: text(li, 'detail'),
              value: li.querySelector('progress').value, max: li.querySelector('progress').max,
              buttons: [...li.querySelectorAll('button')].filter(b => !b.hidden).map(b => b.dataset.action)}));
            """)}

    def row_when(self, name, condition, what, timeout=20.0):
        return wait_until(name + ' ' + what, lambda: (row := self.rows().get(name)) and condition(row) and row, timeout)

    def running(self, *names):
        return [self.row_when(name, lambda r: r['state'] == 'running' and r['value'] > 0, 'running') for name in names]

    def add(self, urls, sha1='', folder=None):
        form = self.browser.find_element(By.ID, 'add')
        self.browser.execute_script('arguments[0].value = arguments[1]', form.find_element(By.ID, 'urls'),
                                    '\n'.join(urls))
        for field, value in (('dir', folder or self.downloads), ('sha1', sha1)):
            form.find_element(By.ID, field).clear()
            form.find_element(By.ID, field).send_keys(value)
        form.find_element(By.CSS_SELECTOR, 'button[type=submit]').click()

    def press(self, name, action):
        row = self.browser.find_element(By.CSS_SELECTOR, 'li[data-id="%s"]' % self.rows()[name]['id'])
        row.find_element(By.CSS_SELECTOR, 'button[data-action=%s]' % action).click()

    def console(self):  # every browser message so far (reading them takes them from the browser)
        if self.browser_open:
            self.console_messages += [entry['message'] for entry in self.browser.get_log('browser')]
        return self.console_messages

    def close_browser(self):  # quit, so that what the profile keeps is written out
        self.console()
        self.browser.quit()
        self.browser_open = False

    def assertNoLeak(self):
        messages = self.console()
        self.assertEqual([m for m in messages if 'Content Security Policy' in m], [])
        self.assertEqual([m for m in messages if any(secret in m for secret in self.secrets)], [],
                         'no token or code in the console')
        log = self.owner.log_text()
        self.assertIn('GET /v1/events 200', log, 'requests are logged')
        self.assertEqual([secret for secret in self.secrets if secret in log], [], 'no token or code in the log')

    def test_token_progress_pause_resume(self):
        # The page needs no token and a Host of its own; everything else needs the token or a session.
        page = self.owner.get('/')
        self.assertEqual((page.status, page.getheader('Content-Type')), (200, 'text/html; charset=utf-8'))
        self.assertIn("script-src 'self'", page.getheader('Content-Security-Policy'))
        self.assertEqual(self.owner.get('/app.js').getheader('Content-Type'), 'text/javascript; charset=utf-8')
        token, host = self.owner.token, ('Host', '127.0.0.1:%d' % self.port)
        bearer = ('Authorization', 'Bearer ' + token)
        for method, path, headers, body, status in (
                ('GET', '/', [('Host', 'attacker.example:%d' % self.port)], None, 403),
                ('GET', '/', [host, host], None, 400),
                ('GET', '/v1/downloads', [bearer, host, ('Host', 'attacker.example')], None, 400),
                ('GET', '/web/app.js', [], None, 401),
                ('GET', '/app.js/', [], None, 401),
                ('GET', '/v1/downloads', [], None, 401),
                ('GET', '/v1/downloads', [bearer], None, 200),
                ('POST', '/v1/downloads?token=' + token, [], b'{"downloads":[]}', 401),
                ('GET', '/v1/events?token=' + token, [], None, 200),  # the stream alone, for clients without headers
                ('POST', '/v1/session', [], json.dumps({'code': '0' * 64}).encode(), 401)):
            with self.subTest(method=method, path=path.replace(token, 'TOKEN'), status=status):
                answer = self.owner.request(method, path, headers, body)
                self.assertEqual(answer.status, status, answer.body)
                self.assertEqual((answer.getheader('Cache-Control'), answer.getheader('X-Content-Type-Options')),
                                 ('no-store', 'nosniff'))
                if status >= 400:
                    self.assertIn('error', json.loads(answer.body), 'a refusal says why')

        # Without a link or a session the page asks for the token.
        self.navigate(self.root)
        self.assertEqual(self.token_form()[1], '', 'nothing was refused yet')
        self.assertNotEqual(self.connection(), 'open')
        # A link signs in once; the session then outlives a reload.
        link = self.open_page()
        self.navigate(self.root)
        wait_until('the page to connect with its session', lambda: self.connection() == 'open')
        self.assertFalse(self.browser.find_element(By.ID, 'token-form').is_displayed())
        # Without the session, the same link is refused and says what to do instead.
        self.browser.delete_all_cookies()
        self.navigate(link)
        form, note = self.token_form()
        self.assertRegex(note, r'already used or has expired.*haul page.*token')
        self.assertEqual((self.browser.current_url, self.connection()), (self.root, 'lost'))
        self.screenshot('signed-out')
        # A wrong token is refused; the right one signs in, and is not left in the field.
        self.sign_in('0' * 64)
        wait_until('the refusal', lambda: 'not the token' in self.token_form()[1])
        self.sign_in(token)
        wait_until('the page to connect', lambda: self.connection() == 'open')
        self.assertEqual((form.is_displayed(), form.find_element(By.ID, 'token').get_attribute('value')), (False, ''))

        self.add([self.files.url('file.bin', size=4 << 20, rate=512 << 10)],
                 sha1=hashlib.sha1(bytes(range(256)) * (4 << 12)).hexdigest().upper())
        first, = self.running('file.bin')
        later = self.row_when('file.bin', lambda r: r['value'] > first['value'] + 100000, 'advancing')
        self.assertEqual((later['max'], later['buttons']), (4 << 20, ['pause', 'abort']))
        self.assertIn('of 4.0 MiB', later['bytes'])
        self.assertRegex(later['rate'], r'KiB/s$')
        self.assertRegex(later['left'], r' s left$')
        self.screenshot('progress')
        self.press('file.bin', 'pause')
        paused = self.row_when('file.bin', lambda r: r['state'] == 'paused', 'paused')
        self.assertEqual((paused['buttons'], paused['rate']), (['resume', 'abort'], ''))
        self.press('file.bin', 'resume')
        done = self.row_when('file.bin', lambda r: r['state'] == 'finished', 'finished', 30)
        saved = os.path.join(self.downloads, 'file.bin')
        self.assertEqual((done['detail'], done['value'], done['buttons']), ('saved: ' + saved, 4 << 20, []))
        self.assertEqual(os.path.getsize(saved), 4 << 20)
        # Two requests: the whole file, then the rest from where it paused.
        self.assertRegex(' '.join(r or 'whole' for p, r in self.files.requests), r'^whole bytes=[1-9]\d*-$')
        self.assertTrue([m for m in self.console() if '/v1/session' in m], 'the refused link is in the console')
        self.assertNoLeak()

        # What the browser keeps once closed: its history has the page but never the token (the code
        # may be there, used up), and no file of the profile holds the token.
        self.close_browser()
        profile = os.path.join(self.temp, 'profile')
        history = os.path.join(self.temp, 'History')
        shutil.copy(os.path.join(profile, 'Default', 'History'), history)
        with contextlib.closing(sqlite3.connect(history)) as database:
            urls = [url for url, in database.execute('SELECT url FROM urls')]
        self.assertIn(self.root, urls)
        self.assertEqual([url for url in urls if token in url], [])
        holding = []
        for folder, _, names in os.walk(profile):
            for path in (os.path.join(folder, name) for name in names):
                if os.path.isfile(path) and not os.path.islink(path):
                    content = pathlib.Path(path).read_bytes()
                    if token.encode() in content or token.encode('utf-16-le') in content:
                        holding.append(os.path.relpath(path, profile))
        self.assertEqual(holding, [], 'files of the profile holding the token')

    def test_states_abort_failure_hostile_name_phone(self):
        self.open_page()
        title = self.browser.title
        self.add([self.files.url('running-%d.iso' % i, size=(4 + 2 * i) << 20, rate=(250 + 50 * i) << 10)
                  for i in range(1, 4)] +
                 [self.files.url(name, size=20 << 20, rate=256 << 10) for name in ('paused.tar', 'aborted.bin')] +
                 [self.files.url('gone.bin', path='/gone/'), self.files.url('named', disposition=HOSTILE),
                  self.files.url(HOSTILE + '.bin', size=20 << 20, rate=128 << 10)])
        self.running('paused.tar', 'aborted.bin', HOSTILE + '.bin')
        self.press('paused.tar', 'pause')
        self.press('aborted.bin', 'abort')
        self.assertEqual(self.row_when('paused.tar', lambda r: r['state'] == 'paused', 'paused')['buttons'],
                         ['resume', 'abort'])
        aborted = self.row_when('aborted.bin', lambda r: r['state'] == 'aborted', 'aborted')
        self.assertEqual(aborted['buttons'], [])
        # The owner keeps it as history, aborted, with nothing left on disk.
        listed = lambda: json.loads(self.owner.get('/v1/downloads', token=self.owner.token).body)['downloads']
        wait_until('the owner to record it', lambda: [d['state'] for d in listed() if d['id'] == aborted['id']] ==
                   ['aborted'])
        self.assertFalse(os.path.exists(os.path.join(self.downloads, 'aborted.bin')))
        failed = self.row_when('gone.bin', lambda r: r['state'] == 'failed', 'failed')
        # In the command's words, from the typed cause, and the same code.
        self.assertEqual(failed['detail'], 'HTTP 410 Gone: the file is no longer on the server (code 266)')
        self.assertEqual(failed['buttons'], ['resume', 'abort'], 'a failure may be tried again at once')
        # The name from Content-Disposition once saved, the one from the URL while running.
        finished = self.row_when(HOSTILE, lambda r: r['state'] == 'finished', 'finished')
        self.assertEqual(finished['detail'], 'saved: ' + os.path.join(self.downloads, HOSTILE))
        self.assertEqual(self.rows()[HOSTILE + '.bin']['state'], 'running', 'the others go on')
        self.assertEqual((self.browser.find_elements(By.TAG_NAME, 'img'), self.browser.title), ([], title),
                         'no script of a file name ran')
        for i in range(1, 4):
            self.row_when('running-%d.iso' % i, lambda r: r['left'] and r['value'] > r['max'] / 6, 'a sixth done')
        self.screenshot('states')
        # A refused request says why and starts nothing: a scheme not served, a folder outside the
        # allowed ones (the data directory's parent of them here).
        error = self.browser.find_element(By.ID, 'add-error')
        for urls, folder, why in ((['gopher://127.0.0.1/x'], None, 'gopher'),
                                  ([self.files.url('outside.bin')], self.temp, 'Service/AllowedDirectories')):
            self.add(urls, folder=folder)
            wait_until('the refusal naming ' + why, lambda: why in error.text)
        self.assertEqual(len(self.rows()), 8)
        self.assertFalse(os.path.exists(os.path.join(self.temp, 'outside.bin')))

        self.browser.set_window_size(390, 844)
        width = self.browser.execute_script('return [document.documentElement.scrollWidth, innerWidth]')
        self.assertLessEqual(width[0], width[1], 'nothing wider than a phone')
        for button in self.browser.find_elements(By.CSS_SELECTOR, '#rows button:not([hidden])'):
            self.assertGreaterEqual(button.size['height'], 28, 'buttons large enough to tap')
        self.browser.execute_script('document.getElementById("summary").scrollIntoView()')
        self.screenshot('phone')
        self.assertNoLeak()

    def test_restart_reconnects(self):
        self.open_page()
        self.add([self.files.url(name, size=20 << 20, rate=256 << 10) for name in ('kept.bin', 'dropped.bin')])
        self.running('kept.bin', 'dropped.bin')
        self.assertEqual(self.owner.stop(), 0)
        wait_until('the lost sign', lambda: self.connection() == 'lost')
        sign = self.browser.find_element(By.ID, 'connection')
        self.assertTrue(sign.is_displayed() and 'lost' in sign.text, sign.text)

        # A new owner has a new token and knows no session of the old one's: the page asks again.
        self.owner = self.start_owner()
        self.assertRegex(self.token_form()[1], r'no longer knows this page.*haul page')
        self.sign_in(self.owner.token)
        wait_until('the page to reconnect', lambda: self.connection() == 'back', 30)
        # Stopped under them, they are interrupted, and resume as paused ones do.
        for name in ('kept.bin', 'dropped.bin'):
            row = self.row_when(name, lambda r: r['state'] == 'interrupted' and r['detail'], 'persisted')
            self.assertEqual((row['buttons'], row['detail']), (['resume', 'abort'], 'in ' + self.downloads))
        self.screenshot('reconnected')
        kept_bytes = self.rows()['kept.bin']['value']
        self.press('kept.bin', 'resume')
        self.press('dropped.bin', 'abort')
        self.row_when('kept.bin', lambda r: r['state'] == 'running' and r['value'] > kept_bytes, 'resumed')
        self.row_when('dropped.bin', lambda r: r['state'] == 'aborted', 'aborted')
        resumed = [r for p, r in self.files.requests if p.startswith('/file/kept.bin') and r]
        self.assertRegex(resumed[-1], r'^bytes=[1-9]\d*-$')
        wait_until('the connected sign', lambda: self.connection() == 'open', 10)
        self.assertNoLeak()

    def test_thousand_rows(self):
        self.open_page()
        self.add([self.files.url('n%04d.bin' % i, size=4 << 20, rate=64 << 10) for i in range(1000)])
        wait_until('1000 rows', lambda: len(self.rows()) == 1000, 30)
        before = self.running('n0000.bin')[0]['value']
        # With 20 downloads reporting and 980 waiting the page still updates and answers a click.
        self.row_when('n0000.bin', lambda r: r['value'] > before, 'advancing')
        # A queued one pauses as a running one does, and stays paused where it stood.
        self.assertEqual(self.rows()['n0999.bin']['buttons'], ['pause', 'abort'])
        self.press('n0999.bin', 'pause')
        paused = self.row_when('n0999.bin', lambda r: r['state'] == 'paused', 'paused')
        self.assertEqual(paused['buttons'], ['resume', 'abort'])
        self.press('n0998.bin', 'abort')
        aborted = self.row_when('n0998.bin', lambda r: r['state'] == 'aborted', 'aborted')
        self.assertEqual(aborted['buttons'], [])
        self.assertRegex(self.browser.find_element(By.ID, 'summary').text, r'\b9[0-9]{2} queued\b')
        self.browser.execute_script('scrollTo(0, 0)')
        self.screenshot('thousand-rows')
        self.assertNoLeak()


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--haul', required=True)
    parser.add_argument('--screenshots', required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.screenshots, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)

#!/usr/bin/python3
# The page of `haul serve --listen` in headless Chromium, against a real owner and a small file
# server on 127.0.0.1. Usage: page_test.py --haul PATH --screenshots DIR [unittest names]

import argparse, ctypes, pathlib, hashlib, http.client, http.server, json, os, re, shutil, signal, socket
import subprocess, sys, tempfile, threading, time, unittest, urllib.parse, urllib.request

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

# `haul serve --listen 127.0.0.1:PORT` on a data directory, its messages in a log file.
class Owner:

    def __init__(self, data, port, settings):
        self.port, self.log = port, open(os.path.join(data, 'serve-test.log'), 'a')
        command = [ARGS.haul, '--data-dir', data + '/', '--set', 'Downloader/StatusInterval=200']
        command += [word for setting in settings for word in ('--set', setting)]
        self.process = subprocess.Popen(command + ['serve', '--listen', '127.0.0.1:%d' % port],
                                        stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        wait_until('the owner to listen', lambda: (page := self.get('/')) and page.status == 200)
        self.token = pathlib.Path(data, 'token').read_text().strip()

    def get(self, path, host=None, token=None):  # the answer, read; None while nothing listens
        if self.process.poll() is not None:
            raise AssertionError('haul serve exited with %d' % self.process.returncode)
        connection = http.client.HTTPConnection('127.0.0.1', self.port, timeout=10)
        authorization = {'Authorization': 'Bearer ' + token} if token else {}
        try:
            connection.request('GET', path, headers={'Host': host or '127.0.0.1:%d' % self.port, **authorization})
            answer = connection.getresponse()
            answer.body = answer.read()
            return answer
        except OSError:
            return None
        finally:
            connection.close()

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
        self.owner = self.start_owner()
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                         '--window-size=1280,1000', '--user-data-dir=' + os.path.join(self.temp, 'profile')):
            options.add_argument(argument)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        driver = Service('/usr/bin/chromedriver', popen_kw={'preexec_fn': die_with_parent})
        self.browser = webdriver.Chrome(service=driver, options=options)
        self.addCleanup(self.browser.quit)
        self.browser.set_page_load_timeout(20)
        self.browser.set_script_timeout(20)

    def start_owner(self):
        owner = Owner(self.temp, self.port, self.settings.get(self._testMethodName, ()))
        self.addCleanup(owner.stop)
        return owner

    def open_page(self):
        self.browser.get('http://127.0.0.1:%d/#token=%s' % (self.port, self.owner.token))
        wait_until('the page to connect', lambda: self.connection() == 'open')
        self.assertNotIn('token', self.browser.current_url, 'the token stays out of the address bar')

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

    def add(self, urls, sha1=''):
        form = self.browser.find_element(By.ID, 'add')
        self.browser.execute_script('arguments[0].value = arguments[1]', form.find_element(By.ID, 'urls'),
                                    '\n'.join(urls))
        for field, value in (('dir', self.downloads), ('sha1', sha1)):
            form.find_element(By.ID, field).clear()
            form.find_element(By.ID, field).send_keys(value)
        form.find_element(By.CSS_SELECTOR, 'button[type=submit]').click()

    def press(self, name, action):
        row = self.browser.find_element(By.CSS_SELECTOR, 'li[data-id="%s"]' % self.rows()[name]['id'])
        row.find_element(By.CSS_SELECTOR, 'button[data-action=%s]' % action).click()

    def assertNoPolicyViolation(self):
        self.assertEqual([entry['message'] for entry in self.browser.get_log('browser')
                          if 'Content Security Policy' in entry['message']], [])

    def test_token_progress_pause_resume(self):
        # The page needs no token and a Host of its own; everything else needs the token.
        page = self.owner.get('/')
        self.assertEqual((page.status, page.getheader('Content-Type')), (200, 'text/html; charset=utf-8'))
        self.assertIn("script-src 'self'", page.getheader('Content-Security-Policy'))
        self.assertEqual(self.owner.get('/app.js').getheader('Content-Type'), 'text/javascript; charset=utf-8')
        self.assertEqual(self.owner.get('/', host='attacker.example:%d' % self.port).status, 403)
        self.assertEqual([self.owner.get(p).status for p in ('/web/app.js', '/v1/downloads', '/app.js/')], [401] * 3)
        # Without the token the page asks for it, and the one typed in is enough.
        self.browser.get('http://127.0.0.1:%d/' % self.port)
        form = self.browser.find_element(By.ID, 'token-form')
        wait_until('the token form', form.is_displayed)
        form.find_element(By.ID, 'token').send_keys(self.owner.token)
        form.find_element(By.CSS_SELECTOR, 'button').click()
        wait_until('the page to connect', lambda: self.connection() == 'open')

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
        self.assertNoPolicyViolation()

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
        # The lists of running and persisted downloads.
        listed = lambda: json.loads(self.owner.get('/v1/downloads', token=self.owner.token).body).values()
        wait_until('the owner to drop it', lambda: aborted['id'] not in [d['id'] for part in listed() for d in part])
        self.assertFalse(os.path.exists(os.path.join(self.downloads, 'aborted.bin')))
        failed = self.row_when('gone.bin', lambda r: r['state'] == 'failed', 'failed')
        self.assertRegex(failed['detail'], r'.+ \(code 266\)$')
        self.assertEqual(failed['buttons'], [])
        # The name from Content-Disposition once saved, the one from the URL while running.
        finished = self.row_when(HOSTILE, lambda r: r['state'] == 'finished', 'finished')
        self.assertEqual(finished['detail'], 'saved: ' + os.path.join(self.downloads, HOSTILE))
        self.assertEqual(self.rows()[HOSTILE + '.bin']['state'], 'running', 'the others go on')
        self.assertEqual((self.browser.find_elements(By.TAG_NAME, 'img'), self.browser.title), ([], title),
                         'no script of a file name ran')
        for i in range(1, 4):
            self.row_when('running-%d.iso' % i, lambda r: r['left'] and r['value'] > r['max'] / 6, 'a sixth done')
        self.screenshot('states')
        # A refused request says why and starts nothing.
        self.add(['gopher://127.0.0.1/x'])
        self.assertIn('gopher', wait_until('the refusal', lambda: self.browser.find_element(By.ID, 'add-error').text))
        self.assertEqual(len(self.rows()), 8)

        self.browser.set_window_size(390, 844)
        width = self.browser.execute_script('return [document.documentElement.scrollWidth, innerWidth]')
        self.assertLessEqual(width[0], width[1], 'nothing wider than a phone')
        for button in self.browser.find_elements(By.CSS_SELECTOR, '#rows button:not([hidden])'):
            self.assertGreaterEqual(button.size['height'], 28, 'buttons large enough to tap')
        self.browser.execute_script('document.getElementById("summary").scrollIntoView()')
        self.screenshot('phone')
        self.assertNoPolicyViolation()

    def test_restart_reconnects(self):
        self.open_page()
        self.add([self.files.url(name, size=20 << 20, rate=256 << 10) for name in ('kept.bin', 'dropped.bin')])
        self.running('kept.bin', 'dropped.bin')
        self.assertEqual(self.owner.stop(), 0)
        wait_until('the lost sign', lambda: self.connection() == 'lost')
        sign = self.browser.find_element(By.ID, 'connection')
        self.assertTrue(sign.is_displayed() and 'lost' in sign.text, sign.text)

        self.owner = self.start_owner()
        wait_until('the page to reconnect', lambda: self.connection() == 'back', 30)
        for name in ('kept.bin', 'dropped.bin'):
            row = self.row_when(name, lambda r: r['state'] == 'paused' and r['detail'], 'persisted')
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

    def test_thousand_rows(self):
        self.open_page()
        self.add([self.files.url('n%04d.bin' % i, size=4 << 20, rate=64 << 10) for i in range(1000)])
        wait_until('1000 rows', lambda: len(self.rows()) == 1000, 30)
        before = self.running('n0000.bin')[0]['value']
        # With 20 downloads reporting and 980 waiting the page still updates and answers a click.
        self.row_when('n0000.bin', lambda r: r['value'] > before, 'advancing')
        self.assertEqual(self.rows()['n0999.bin']['buttons'], ['abort'], 'a queued one cannot be paused')
        self.press('n0999.bin', 'abort')
        dropped = self.row_when('n0999.bin', lambda r: r['state'] == 'not started', 'dropped')
        self.assertEqual((dropped['buttons'], dropped['detail']), ([], 'aborted before it started'))
        self.assertRegex(self.browser.find_element(By.ID, 'summary').text, r'\b9[0-9]{2} queued\b')
        self.browser.execute_script('scrollTo(0, 0)')
        self.screenshot('thousand-rows')


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--haul', required=True)
    parser.add_argument('--screenshots', required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.screenshots, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)

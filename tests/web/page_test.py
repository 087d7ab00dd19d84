#!/usr/bin/python3
# The page of `haul serve --listen` in headless Chromium, against a real owner and a small file
# server on 127.0.0.1. Usage: page_test.py --haul PATH --screenshots DIR [unittest names]

import argparse, contextlib, ctypes, pathlib, hashlib, http.client, http.server, json, os, re, shutil, signal
import socket, sqlite3, subprocess, sys, tempfile, threading, time, unittest, urllib.parse, urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.support.ui import Select
from selenium.common.exceptions import (ElementNotInteractableException, NoSuchElementException,
                                        StaleElementReferenceException)

ARGS = None
HOSTILE = "<img src=x onerror=document.title='owned'>"


def die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: no orphan if the test is killed


def click_when_drawn(what, find):
    """Clicks the element find() returns once it is there and can take the click."""
    def click():
        try:
            find().click()
            return True
        except (NoSuchElementException, StaleElementReferenceException, ElementNotInteractableException):
            return False
    wait_until(what, click)


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
        match = re.fullmatch(r'bytes=(\d+)-(\d*)', self.headers.get('Range') or '')
        position = int(match[1]) if match and int(match[1]) < size else 0
        end = min(size, int(match[2]) + 1) if match and match[2] else size
        self.send_response(206 if match and size else 200 if size else 410)
        if match and size:
            self.send_header('Content-Range', 'bytes %d-%d/%d' % (position, end - 1, size))
        self.send_header('Content-Length', str(end - position))
        self.send_header('Content-Type', 'application/octet-stream')
        if 'disposition' in query:
            self.send_header('Content-Disposition', 'attachment; filename="%s"' % query['disposition'])
        self.end_headers()
        try:
            while position < end:
                n = min(16384, end - position)
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
    settings = {'test_thousand_rows': ('Downloader/MaxDownloads=20',),
                'test_details_dark_hundred': ('Downloader/MaxDownloads=20',)}

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

    def to_list(self):  # scrolled down to the list, its toolbar at the top
        self.browser.execute_script("""
            const list = document.getElementById('rows');
            scrollTo(0, list.getBoundingClientRect().top + scrollY - document.getElementById('toolbar').offsetHeight)""")

    def screenshot(self, name):
        self.browser.save_screenshot(os.path.join(ARGS.screenshots, name + '.png'))

    def rows(self):  # every row drawn now, keyed by its name
        return {row['name']: row for row in self.drawn()}

    def drawn(self):  # the rows in the document, top to bottom as they are seen
        return self.browser.execute_script("""
            const text = (li, name) => li.querySelector('.' + name).textContent;
            return [...document.querySelectorAll('#rows li')].map(li => ({
              id: li.dataset.id, state: li.dataset.state, name: text(li, 'name'), bytes: text(li, 'bytes'),
              rate: text(li, 'rate'), left: text(li, 'left'), detail: text(li, 'detail'), ask: text(li, 'ask'),
              value: li.querySelector('progress').value, max: li.querySelector('progress').max,
              picked: li.querySelector('.pick').checked, top: li.getBoundingClientRect().top,
              buttons: [...li.querySelectorAll('.actions button')].filter(b => !b.hidden).map(b => b.dataset.action)}))
              .sort((a, b) => a.top - b.top);
            """)

    def names(self):  # the names shown, top to bottom
        return [row['name'] for row in self.drawn()]

    def row_when(self, name, condition, what, timeout=20.0):
        return wait_until(name + ' ' + what, lambda: (row := self.rows().get(name)) and condition(row) and row, timeout)

    def running(self, *names):
        return [self.row_when(name, lambda r: r['state'] == 'running' and r['value'] > 0, 'running') for name in names]

    def add(self, urls, sha1='', folder=None, connections=''):
        form = self.browser.find_element(By.ID, 'add')
        self.browser.execute_script('arguments[0].value = arguments[1]', form.find_element(By.ID, 'urls'),
                                    '\n'.join(urls))
        for field, value in (('dir', folder or self.downloads), ('sha1', sha1), ('connections', connections)):
            form.find_element(By.ID, field).clear()
            form.find_element(By.ID, field).send_keys(value)
        form.find_element(By.CSS_SELECTOR, 'button[type=submit]').click()

    def press(self, name, action):
        # A row is drawn anew each frame something changes: its button is found at the click.
        click_when_drawn('the %s button of %s' % (action, name),
                         lambda: self.row_element(name).find_element(By.CSS_SELECTOR, 'button[data-action=%s]' % action))

    # Once drawn: after a reload, the list that names the rows comes after the stream opens.
    def row_element(self, name):
        try:
            row = wait_until(name + ' drawn', lambda: self.rows().get(name), 10)
        except AssertionError:
            raise AssertionError('no row %r drawn, only %r; the owner lists %r' %
                                 (name, self.names(), [d['url'] for d in self.listed().values()]))
        return self.browser.find_element(By.CSS_SELECTOR, 'li[data-id="%s"]' % row['id'])

    def abort(self, name):  # Abort, then Yes in the row's question
        self.press(name, 'abort')
        self.assertEqual(self.row_when(name, lambda r: r['ask'], 'asking')['buttons'], ['yes', 'no'])
        self.press(name, 'yes')

    def listed(self):  # the owner's list, by id
        answer = self.owner.get('/v1/downloads', token=self.owner.token)
        self.assertEqual(answer.status, 200, answer.body)
        return {d['id']: d for d in json.loads(answer.body)['downloads']}

    def owner_states(self, ids):
        listed = self.listed()
        return [listed[i]['state'] if i in listed else None for i in ids]

    def choose(self, element_id, value):  # a <select> of the toolbar
        Select(self.browser.find_element(By.ID, element_id)).select_by_value(value)

    def search(self, text):
        field = self.browser.find_element(By.ID, 'search')
        field.send_keys(Keys.CONTROL, 'a')  # as a person does: clear() tells the page nothing
        field.send_keys(Keys.BACKSPACE, text)

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    def shows(self, names, what):  # the rows drawn are these, in this order, once the next frame is drawn
        try:
            wait_until(what, lambda: self.names() == names, 5)
        except AssertionError:
            self.assertEqual(self.names(), names, what)

    def pick(self, name):
        self.row_element(name).find_element(By.CSS_SELECTOR, '.pick').click()

    def picked(self):
        return [row['name'] for row in self.drawn() if row['picked']]

    def bulk(self, action):
        # The question's buttons appear on the next draw after the action that asks it.
        click_when_drawn('the %s button' % action,
                         lambda: self.browser.find_element(By.CSS_SELECTOR, '#bulk button[data-bulk=%s]' % action))

    def details(self):  # the details panel's terms and values, those shown
        return self.browser.execute_script("""
            const panel = document.getElementById('details');
            if (panel.hidden) return null;
            const shown = [...panel.querySelectorAll('dt')].filter(dt => !dt.hidden);
            return Object.fromEntries(shown.map(dt => [dt.textContent, dt.nextElementSibling.textContent]));
            """)

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
        self.assertEqual([m for m in messages if 'Uncaught' in m], [], 'no script error')
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
        self.assertEqual((paused['buttons'], paused['rate']), (['resume', 'abort', 'forget'], ''))
        self.press('file.bin', 'resume')
        done = self.row_when('file.bin', lambda r: r['state'] == 'finished', 'finished', 30)
        saved = os.path.join(self.downloads, 'file.bin')
        self.assertEqual((done['detail'], done['value'], done['buttons']), ('saved: ' + saved, 4 << 20, ['forget']))
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
        self.abort('aborted.bin')
        self.assertEqual(self.row_when('paused.tar', lambda r: r['state'] == 'paused', 'paused')['buttons'],
                         ['resume', 'abort', 'forget'])
        aborted = self.row_when('aborted.bin', lambda r: r['state'] == 'aborted', 'aborted')
        self.assertEqual(aborted['buttons'], ['forget'])
        # The owner keeps it as history, aborted, with nothing left on disk.
        listed = lambda: json.loads(self.owner.get('/v1/downloads', token=self.owner.token).body)['downloads']
        wait_until('the owner to record it', lambda: [d['state'] for d in listed() if d['id'] == aborted['id']] ==
                   ['aborted'])
        self.assertFalse(os.path.exists(os.path.join(self.downloads, 'aborted.bin')))
        failed = self.row_when('gone.bin', lambda r: r['state'] == 'failed', 'failed')
        # In the command's words, from the typed cause, and the same code.
        self.assertEqual(failed['detail'], 'HTTP 410 Gone: the file is no longer on the server (code 266)')
        self.assertEqual(failed['buttons'], ['resume', 'abort', 'forget'], 'a failure may be tried again at once')
        # The name from Content-Disposition once saved, the one from the URL while running.
        finished = self.row_when(HOSTILE, lambda r: r['state'] == 'finished', 'finished')
        self.assertEqual(finished['detail'], 'saved: ' + os.path.join(self.downloads, HOSTILE))
        self.assertEqual(self.rows()[HOSTILE + '.bin']['state'], 'running', 'the others go on')
        self.assertEqual(self.browser.find_elements(By.TAG_NAME, 'img'), [], 'no markup of a file name')
        self.assertRegex(self.browser.title, r'^(\d+% · )?\d+ running — ' + title + '$', 'no script of a file name ran')
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
            self.assertEqual((row['buttons'], row['detail']), (['resume', 'abort', 'forget'], 'in ' + self.downloads))
        self.screenshot('reconnected')
        kept_bytes = self.rows()['kept.bin']['value']
        self.press('kept.bin', 'resume')
        self.abort('dropped.bin')
        self.row_when('kept.bin', lambda r: r['state'] == 'running' and r['value'] > kept_bytes, 'resumed')
        self.row_when('dropped.bin', lambda r: r['state'] == 'aborted', 'aborted')
        resumed = [r for p, r in self.files.requests if p.startswith('/file/kept.bin') and r]
        self.assertRegex(resumed[-1], r'^bytes=[1-9]\d*-$')
        wait_until('the connected sign', lambda: self.connection() == 'open', 10)
        self.assertNoLeak()

    def test_sort_filter_search_totals_add_list(self):
        self.open_page()
        urls = self.browser.find_element(By.ID, 'urls')
        self.browser.find_element(By.ID, 'dir').send_keys(self.downloads)
        # A list from a file: one URL a line, blank and '#' lines left out; Ctrl+Enter adds them.
        sizes = {'a-mid.bin': (8 << 20, 256 << 10), 'b-small.bin': (50000, None), 'd-large.bin': (80 << 20, 128 << 10),
                 'e-tiny.bin': (1000, None), 'f-medium.bin': (60 << 20, 512 << 10)}
        listed = [self.files.url(name, size=size, rate=rate) for name, (size, rate) in sizes.items()]
        listed.append(self.files.url('c-gone.bin', path='/gone/'))
        path = os.path.join(self.temp, 'list.txt')
        pathlib.Path(path).write_text('# to fetch\r\n\r\n' + '\r\n'.join(listed[:3]) + '\r\n  \r\n#' + listed[0] + '\r\n' +
                                      '\r\n'.join(listed[3:]) + '\r\n')
        self.browser.find_element(By.ID, 'url-file').send_keys(path)
        wait_until('the list read', lambda: urls.get_attribute('value') == '\n'.join(listed))
        self.assertEqual(self.text('add-note'), '6 URLs read from list.txt: Add to start them.')
        urls.send_keys(Keys.CONTROL, Keys.ENTER)
        wait_until('6 downloads', lambda: self.text('shown') == '6 downloads')
        self.assertEqual(urls.get_attribute('value'), '')
        # A file dropped on the page goes the same way, and Cmd+Enter adds too.
        dropped = self.files.url('g-dropped.bin', size=2000)
        self.browser.execute_script("""
            const data = new DataTransfer();
            data.items.add(new File([arguments[0]], 'dropped.txt', {type: 'text/plain'}));
            document.body.dispatchEvent(new DragEvent('drop', {dataTransfer: data, bubbles: true, cancelable: true}));
            """, '# later\n' + dropped + '\n')
        wait_until('the dropped list read', lambda: urls.get_attribute('value') == dropped)
        urls.send_keys(Keys.META, Keys.ENTER)
        wait_until('7 downloads', lambda: self.text('shown') == '7 downloads')
        self.running('a-mid.bin', 'd-large.bin', 'f-medium.bin')
        self.press('a-mid.bin', 'pause')
        for name, state in (('a-mid.bin', 'paused'), ('b-small.bin', 'finished'), ('c-gone.bin', 'failed'),
                            ('e-tiny.bin', 'finished'), ('g-dropped.bin', 'finished')):
            self.row_when(name, lambda r: r['state'] == state, state)
        self.assertEqual(self.names()[0], 'g-dropped.bin', 'newest first')

        # Totals: the rate of all, the bytes of what is under way (not the paused one), counts by state.
        self.assertEqual(self.text('summary'), '2 running · 1 paused · 1 failed · 3 finished')
        self.assertRegex(self.text('totals'),
                         r'^[\d.]+ [KM]iB/s in all · [\d.]+ [KM]iB of 140\.0 MiB \(\d+%\) of what is under way$')
        self.assertRegex(self.browser.title, r'^\d+% · 2 running — Haulwright$')

        everything = ['a-mid.bin', 'b-small.bin', 'c-gone.bin', 'd-large.bin', 'e-tiny.bin', 'f-medium.bin',
                      'g-dropped.bin']
        self.choose('sort', 'name')
        self.shows(everything, 'by name')
        self.browser.find_element(By.ID, 'sort-dir').click()
        self.shows(everything[::-1], 'by name, descending')
        # An unknown size (the failed one) comes last either way.
        self.choose('sort', 'size')
        by_size = ['d-large.bin', 'f-medium.bin', 'a-mid.bin', 'b-small.bin', 'g-dropped.bin', 'e-tiny.bin']
        self.shows(by_size + ['c-gone.bin'], 'largest first')
        self.browser.find_element(By.ID, 'sort-dir').click()
        self.shows(by_size[::-1] + ['c-gone.bin'], 'smallest first')
        self.choose('sort', 'progress')
        drawn = wait_until('by progress', lambda: (rows := self.drawn()) and rows[-1]['name'] == 'c-gone.bin' and rows)
        self.assertEqual({r['name'] for r in drawn[:3]}, {'b-small.bin', 'e-tiny.bin', 'g-dropped.bin'})
        done = [r['value'] / r['max'] for r in drawn]
        self.assertEqual(done, sorted(done, reverse=True), 'furthest first')
        self.choose('sort', 'rate')
        wait_until('fastest first', lambda: self.names()[:2] == ['f-medium.bin', 'd-large.bin'])
        self.choose('sort', 'left')
        wait_until('soonest done first', lambda: self.names()[:2] == ['f-medium.bin', 'd-large.bin'])

        self.choose('sort', 'name')
        for state, names in (('failed', ['c-gone.bin']), ('paused', ['a-mid.bin']),
                             ('active', ['d-large.bin', 'f-medium.bin']),
                             ('finished', ['b-small.bin', 'e-tiny.bin', 'g-dropped.bin'])):
            self.choose('state-filter', state)
            self.shows(names, 'only ' + state)
        self.assertEqual(self.text('shown'), '3 of 7 shown')
        self.choose('state-filter', 'all')
        # The search looks at the name and the URL, whatever the case.
        for text, names in (('MEDIUM', ['f-medium.bin']), ('/gone/', ['c-gone.bin']), ('-', everything)):
            self.search(text)
            self.shows(names, 'found by ' + text)
        self.search('nothing like it')
        self.shows([], 'nothing found')
        self.assertEqual(self.text('empty'), 'No download matches this search and filter.')
        # The choice outlives a reload.
        self.choose('sort', 'size')
        self.choose('state-filter', 'active')
        self.search('a')
        self.shows(['d-large.bin', 'f-medium.bin'], 'a search within a filter')
        self.to_list()
        self.screenshot('sorted-filtered')
        self.navigate(self.root)
        wait_until('the page to connect', lambda: self.connection() == 'open')
        self.shows(['d-large.bin', 'f-medium.bin'], 'the same after a reload')
        self.assertEqual([self.browser.find_element(By.ID, name).get_attribute('value')
                          for name in ('sort', 'state-filter', 'search')], ['size', 'active', 'a'])
        self.assertEqual(self.text('shown'), '2 of 7 shown')
        self.assertNoLeak()

    def test_selection_bulk_actions(self):
        self.open_page()
        names = ['s%d.bin' % i for i in range(1, 6)]
        self.add([self.files.url(name, size=20 << 20, rate=256 << 10) for name in names])
        self.running(*names)
        ids = {name: self.rows()[name]['id'] for name in names}
        states = lambda *chosen: self.owner_states([ids[name] for name in chosen])
        self.choose('sort', 'name')
        self.assertFalse(self.browser.find_element(By.ID, 'bulk').is_displayed())
        for name in names[:3]:
            self.pick(name)
        wait_until('3 selected', lambda: self.text('picked') == '3 selected')
        self.assertEqual(self.picked(), names[:3])
        # What the selection is told reaches the owner for each of them, and no other.
        self.bulk('pause')
        wait_until('the owner to pause them', lambda: states(*names) == ['paused'] * 3 + ['running'] * 2)
        for name in names[:3]:
            self.row_when(name, lambda r: r['state'] == 'paused', 'paused')
        self.assertEqual(self.text('picked'), '3 selected', 'the selection outlives what it was told')
        self.bulk('resume')
        wait_until('the owner to resume them', lambda: states(*names) == ['running'] * 5)

        # Shift-click takes the rows between.
        self.bulk('unpick')
        wait_until('no selection', lambda: not self.browser.find_element(By.ID, 'bulk').is_displayed())
        self.pick('s2.bin')
        box = self.row_element('s4.bin').find_element(By.CSS_SELECTOR, '.pick')
        ActionChains(self.browser).key_down(Keys.SHIFT).click(box).key_up(Keys.SHIFT).perform()
        wait_until('a range', lambda: self.picked() == ['s2.bin', 's3.bin', 's4.bin'])
        # Forget deletes what a paused one received, so it asks; the owner keeps running ones and
        # their rows say why.
        self.press('s2.bin', 'pause')
        self.row_when('s2.bin', lambda r: r['state'] == 'paused', 'paused')
        self.bulk('forget')
        wait_until('the question', lambda: self.text('bulk-question') ==
                   'Forget 3? Paused and failed ones lose what they received.')
        self.bulk('yes')
        wait_until('s2 forgotten', lambda: ids['s2.bin'] not in self.listed() and 's2.bin' not in self.rows())
        for name in ('s3.bin', 's4.bin'):
            self.row_when(name, lambda r: re.search(r' is running: pause or abort it instead \(code \d+\)$', r['detail']),
                          'the refusal')
        wait_until('the count of refusals', lambda: self.text('bulk-note') == '2 refused: their rows say why')
        self.assertEqual(states('s1.bin', 's3.bin', 's4.bin', 's5.bin'), ['running'] * 4)
        self.assertEqual(self.text('picked'), '2 selected')

        # "All shown" takes what the search shows; the rest stays as it was.
        self.bulk('unpick')
        self.search('s5')
        self.shows(['s5.bin'], 'the search')
        self.browser.find_element(By.ID, 'pick-all').click()
        wait_until('1 selected', lambda: self.text('picked') == '1 selected')
        self.search('')
        self.shows(['s1.bin', 's3.bin', 's4.bin', 's5.bin'], 'all again')
        self.assertEqual(self.picked(), ['s5.bin'])
        self.assertTrue(self.browser.execute_script('return document.getElementById("pick-all").indeterminate'))
        # Abort asks first; No leaves it running.
        self.bulk('abort')
        wait_until('the question', lambda: self.text('bulk-question') == 'Abort 1 and delete what they received?')
        self.bulk('no')
        wait_until('the actions again', lambda: self.browser.find_element(By.ID, 'bulk-actions').is_displayed())
        self.assertEqual(states('s5.bin'), ['running'])
        self.bulk('abort')
        self.bulk('yes')
        wait_until('the owner to abort it', lambda: states('s5.bin') == ['aborted'])
        # Pause all shown: the aborted one is left out, the others pause.
        self.browser.find_element(By.ID, 'pick-all').click()
        wait_until('4 selected', lambda: self.text('picked') == '4 selected')
        self.bulk('pause')
        wait_until('the owner to pause them', lambda: states('s1.bin', 's3.bin', 's4.bin', 's5.bin') ==
                   ['paused', 'paused', 'paused', 'aborted'])
        self.assertNoLeak()

    def test_history_restart_clear_failed_abort_confirm(self):
        self.open_page()
        self.add([self.files.url('h1.bin', size=30000), self.files.url('h2.bin', size=40000),
                  self.files.url('failed.bin', path='/gone/'),
                  self.files.url('abort-me.bin', size=20 << 20, rate=256 << 10),
                  self.files.url('slow.bin', size=20 << 20, rate=256 << 10)])
        # A failure may be tried again or forgotten at once, without a reload.
        failed = self.row_when('failed.bin', lambda r: r['state'] == 'failed', 'failed')
        self.assertEqual(failed['buttons'], ['resume', 'abort', 'forget'])
        self.running('abort-me.bin', 'slow.bin')
        ids = {name: row['id'] for name, row in self.rows().items()}
        # Abort asks first: No keeps it going, Yes aborts it.
        self.press('abort-me.bin', 'abort')
        asking = self.row_when('abort-me.bin', lambda r: r['ask'], 'asking')
        self.assertEqual((asking['ask'], asking['buttons']), ('Abort and delete?', ['yes', 'no']))
        self.press('abort-me.bin', 'no')
        self.row_when('abort-me.bin', lambda r: r['buttons'] == ['pause', 'abort'], 'no longer asking')
        self.assertEqual(self.owner_states([ids['abort-me.bin']]), ['running'])
        self.abort('abort-me.bin')
        self.row_when('abort-me.bin', lambda r: r['state'] == 'aborted', 'aborted')
        ended = {'h1.bin': 'finished', 'h2.bin': 'finished', 'failed.bin': 'failed', 'abort-me.bin': 'aborted'}
        page_states = lambda: {name: row['state'] for name, row in self.rows().items()}
        wait_until('the ends', lambda: page_states() == dict(ended, **{'slow.bin': 'running'}))

        # The owner keeps what ended: a reload shows it again.
        self.navigate(self.root)
        wait_until('the history after a reload', lambda: page_states() == dict(ended, **{'slow.bin': 'running'}))
        failed = self.rows()['failed.bin']
        self.assertEqual(failed['detail'], 'HTTP 410 Gone: the file is no longer on the server (code 266)')
        self.assertEqual(failed['buttons'], ['resume', 'abort', 'forget'])
        # So does a restart; and what was forgotten while the page was away is gone once it reads the list.
        self.assertEqual(self.owner.stop(), 0)
        self.owner = self.start_owner()
        forgotten = self.owner.request('POST', '/v1/downloads/%s/forget' % ids['h2.bin'],
                                       [('Authorization', 'Bearer ' + self.owner.token)])
        self.assertEqual(forgotten.status, 202, forgotten.body)
        self.sign_in(self.owner.token)
        del ended['h2.bin']
        wait_until('the history after a restart', lambda: page_states() == dict(ended, **{'slow.bin': 'interrupted'}))
        self.screenshot('history')

        # Clear forgets what finished or was aborted, on the owner too; the saved files stay.
        clear = self.browser.find_element(By.ID, 'clear')
        self.assertEqual(clear.text, 'Clear finished and aborted (2)')
        clear.click()
        wait_until('the cleared list', lambda: page_states() == {'failed.bin': 'failed', 'slow.bin': 'interrupted'})
        self.assertEqual(sorted(d['state'] for d in self.listed().values()), ['failed', 'paused'])
        self.assertEqual(os.path.getsize(os.path.join(self.downloads, 'h1.bin')), 30000)
        wait_until('nothing left to clear', lambda: not clear.is_enabled())
        # Forgetting a failed one deletes what it received: it asks too.
        self.press('failed.bin', 'forget')
        self.assertEqual(self.row_when('failed.bin', lambda r: r['ask'], 'asking')['ask'], 'Forget and delete?')
        self.press('failed.bin', 'yes')
        wait_until('the failed one forgotten', lambda: list(self.rows()) == ['slow.bin'])
        self.assertEqual([d['state'] for d in self.listed().values()], ['paused'])
        self.assertNoLeak()

    def test_details_dark_hundred(self):
        self.open_page()
        sha1 = hashlib.sha1(bytes(range(256)) * (2 << 12)).hexdigest()
        url = self.files.url('detail.bin', size=2 << 20, rate=128 << 10)
        self.add([url], sha1=sha1.upper(), connections='4')
        self.running('detail.bin')
        # Two pieces of 1 MiB (none smaller), each drawn with what its connection wrote.
        self.row_element('detail.bin').find_element(By.CSS_SELECTOR, '.name').click()
        strip = self.browser.find_element(By.ID, 'pieces')
        wait_until('the pieces', lambda: strip.is_displayed() and len(strip.find_elements(By.TAG_NAME, 'span')) == 3)
        self.screenshot('pieces')
        self.browser.find_element(By.ID, 'details-close').click()
        self.add([self.files.url('done-%02d.bin' % i, size=20000 + i) for i in range(10)] +
                 [self.files.url('gone-%02d.bin' % i, path='/gone/') for i in range(5)] +
                 [self.files.url('item-%02d.bin' % i, size=(4 + i % 8) << 20, rate=(32 + 32 * (i % 5)) << 10)
                  for i in range(84)])
        wait_until('100 downloads', lambda: self.text('shown') == '100 downloads' or self.text('add-error'), 30)
        self.assertEqual(self.text('add-error'), '')
        wait_until('the ends', lambda: re.search(r'5 failed · 1[01] finished$', self.text('summary')))

        self.choose('sort', 'progress')
        self.to_list()
        self.screenshot('hundred-sorted')
        self.choose('state-filter', 'running')
        self.search('item-1')
        wait_until('the filter', lambda: (names := self.names()) and all(n.startswith('item-1') for n in names))
        self.assertEqual({row['state'] for row in self.drawn()}, {'running'})
        self.to_list()
        self.screenshot('hundred-filtered')
        self.choose('state-filter', 'all')
        self.search('')
        self.choose('sort', 'name')
        wait_until('by name', lambda: self.names()[0] == 'detail.bin')
        for name in self.names()[:5]:
            self.pick(name)
        wait_until('5 selected', lambda: self.text('picked') == '5 selected')
        self.to_list()
        self.screenshot('hundred-selection')
        self.bulk('unpick')

        # The details of one download, from the owner's list and its events, kept up to date.
        self.search('detail')
        self.shows(['detail.bin'], 'the one to look at')
        self.row_element('detail.bin').find_element(By.CSS_SELECTOR, '.name').click()
        wait_until('the details panel', lambda: (d := self.details()) and d['State'] == 'finished', 30)
        entry = self.listed()[self.rows()['detail.bin']['id']]
        moment = lambda seconds: time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(seconds))
        wait_until('the list read again', lambda: self.details()['Updated'] == moment(entry['updated']))
        self.assertEqual(self.details(), {
            'URL': url, 'State': 'finished', 'Folder': self.downloads,
            'Saved as': os.path.join(self.downloads, 'detail.bin'), 'Size': '2.0 MiB (2097152 bytes)',
            'Received': '2.0 MiB (2097152 bytes)', 'Added': moment(entry['added']), 'Updated': moment(entry['updated']),
            'Tries': '1', 'SHA-1': entry['sha1'], 'Outcome': 'WasFinished', 'Its own limit': 'none',
            'Connections': '4', 'Id': entry['id']})
        self.assertEqual(entry['connections'], 4)
        self.assertEqual(entry['sha1'].lower(), sha1)
        self.assertEqual(self.browser.find_element(By.ID, 'details-name').text, 'detail.bin')
        self.search('')
        self.choose('sort', 'added')
        self.screenshot('hundred-details')
        # A failed one's: its outcome, code and words.
        self.search('gone-03')
        self.shows(['gone-03.bin'], 'a failed one')
        self.row_element('gone-03.bin').find_element(By.CSS_SELECTOR, '.name').click()
        wait_until('its details', lambda: self.details()['URL'].endswith('/gone/gone-03.bin?size=100000'))
        shown = self.details()
        self.assertEqual({key: shown.get(key) for key in ('State', 'Outcome', 'Code', 'Text', 'Saved as', 'Tries')},
                         {'State': 'failed', 'Outcome': 'WasFailed', 'Code': '266', 'Saved as': None, 'Tries': '1',
                          'Text': 'HTTP 410 Gone: the file is no longer on the server'})
        self.browser.find_element(By.TAG_NAME, 'body').send_keys(Keys.ESCAPE)
        wait_until('the panel closed', lambda: self.details() is None)
        self.search('')

        # Dark when the system is: the page's own colours turn, the text stays readable.
        def colours():
            return self.browser.execute_script("""
                const rgb = (c) => c.match(/\d+/g).slice(0, 3).map(Number);
                const list = document.getElementById('rows');
                return [getComputedStyle(document.body).backgroundColor, getComputedStyle(list).backgroundColor,
                        getComputedStyle(document.body).color].map(rgb)""")
        luminance = lambda rgb: sum(w * c / 255 for w, c in zip((0.2126, 0.7152, 0.0722), rgb))
        light = colours()
        self.assertGreater(min(luminance(light[0]), luminance(light[1])), 0.8)
        self.browser.execute_cdp_cmd('Emulation.setEmulatedMedia', {
            'media': '', 'features': [{'name': 'prefers-color-scheme', 'value': 'dark'}]})
        dark = wait_until('the dark colours', lambda: (now := colours()) != light and now)
        self.assertLess(max(luminance(dark[0]), luminance(dark[1])), 0.15, dark)
        self.assertGreater(luminance(dark[2]), 0.7, 'light text on dark')
        self.row_element(self.names()[0]).find_element(By.CSS_SELECTOR, '.name').click()
        wait_until('the details panel', lambda: self.details())
        self.to_list()
        self.screenshot('hundred-dark')
        self.assertNoLeak()

    def test_speed_limits(self):
        self.open_page()
        self.add([self.files.url(name, size=40 << 20, rate=256 << 10) for name in ('slow.bin', 'other.bin')])
        self.running('slow.bin', 'other.bin')
        ids = {name: self.rows()[name]['id'] for name in ('slow.bin', 'other.bin')}
        overall = lambda: json.loads(self.owner.get('/v1/downloads', token=self.owner.token).body)['maxRate']
        own = lambda name: self.listed()[ids[name]].get('maxRate')

        # The overall limit, written as people write rates; what cannot be read is not sent.
        form = self.browser.find_element(By.ID, 'limit-form')
        field = form.find_element(By.ID, 'limit')
        wait_until('the limit now', lambda: self.text('limit-now') == 'now: none')
        for typed in ('fast', '2T', '-1M'):
            field.send_keys(Keys.CONTROL, 'a')
            field.send_keys(typed)
            form.find_element(By.CSS_SELECTOR, 'button').click()
            wait_until('the refusal of ' + typed, lambda: 'such as 500K, 2M or 1.5M' in self.text('limit-error'))
        self.assertEqual(overall(), 0)
        field.send_keys(Keys.CONTROL, 'a')
        field.send_keys('1.5M', Keys.ENTER)
        wait_until('the owner to take it', lambda: overall() == 1572864)
        wait_until('the limit shown', lambda: self.text('limit-now') == 'now: 1.5 MiB/s')
        self.assertEqual((self.text('limit-error'), field.get_attribute('value')), ('', ''))
        field.send_keys('2m', Keys.ENTER)
        wait_until('the owner to take it', lambda: overall() == 2 << 20)
        # A reload reads it from the owner.
        self.navigate(self.root)
        wait_until('the limit after a reload', lambda: self.text('limit-now') == 'now: 2.0 MiB/s')
        field = self.browser.find_element(By.ID, 'limit')
        field.send_keys('0', Keys.ENTER)
        wait_until('the owner to lift it', lambda: overall() == 0)
        wait_until('no limit shown', lambda: self.text('limit-now') == 'now: none')

        # A download's own, in its details, while it runs; the other keeps none.
        self.row_element('slow.bin').find_element(By.CSS_SELECTOR, '.name').click()
        wait_until('the details', lambda: (d := self.details()) and d['Its own limit'] == 'none')
        own_field = self.browser.find_element(By.ID, 'own-limit')
        own_field.send_keys('64K', Keys.ENTER)
        wait_until('the owner to take it', lambda: own('slow.bin') == 65536)
        wait_until('the limit shown', lambda: self.details()['Its own limit'] == '64.0 KiB/s')
        self.assertEqual((own('other.bin'), overall(), self.listed()[ids['slow.bin']]['state']), (None, 0, 'running'))
        own_field.send_keys('1x', Keys.ENTER)
        wait_until('the refusal', lambda: 'such as 500K' in self.text('own-limit-error'))
        self.assertEqual(own('slow.bin'), 65536)
        # The owner's record keeps it: a reload shows it, and an empty field lifts it.
        self.navigate(self.root)
        wait_until('the page to connect', lambda: self.connection() == 'open')
        self.row_element('slow.bin').find_element(By.CSS_SELECTOR, '.name').click()
        wait_until('the limit after a reload', lambda: (d := self.details()) and d['Its own limit'] == '64.0 KiB/s')
        self.browser.find_element(By.ID, 'own-limit').send_keys(Keys.ENTER)
        wait_until('the owner to lift it', lambda: own('slow.bin') is None)
        wait_until('no limit shown', lambda: self.details()['Its own limit'] == 'none')
        # Set by another client (`haul limit`, the interface): the open page hears of it.
        for path, body in (('/v1/limit', b'{"maxRate":3145728}'),
                           ('/v1/downloads/%s/limit' % ids['slow.bin'], b'{"maxRate":131072}')):
            answer = self.owner.request('POST', path, [('Authorization', 'Bearer ' + self.owner.token),
                                                       ('Content-Type', 'application/json')], body)
            self.assertIn(answer.status, (200, 202))
        wait_until('the overall limit heard', lambda: self.text('limit-now') == 'now: 3.0 MiB/s')
        wait_until('its own limit heard', lambda: self.details()['Its own limit'] == '128.0 KiB/s')
        self.screenshot('limits')
        self.assertNoLeak()

    def test_thousand_rows(self):
        self.open_page()
        self.choose('sort', 'name')
        self.add([self.files.url('n%04d.bin' % i, size=4 << 20, rate=64 << 10) for i in range(1000)])
        wait_until('1000 downloads', lambda: self.text('shown') == '1000 downloads', 30)
        # A row first heard of on the stream is named by its id until the list or the add's answer
        # tells its URL.
        wait_until('the URLs known', lambda: self.names()[:1] == ['n0000.bin'], 30)
        # Only the rows in view and a margin are in the document, and they are the first ones.
        drawn = self.names()
        self.assertLess(len(drawn), 60)
        self.assertEqual(drawn, ['n%04d.bin' % i for i in range(len(drawn))])
        before = self.running('n0000.bin')[0]['value']
        # With 20 downloads reporting and 980 waiting the page still updates and answers a click.
        self.row_when('n0000.bin', lambda r: r['value'] > before, 'advancing')
        wait_until('the progress in the title', lambda: re.fullmatch(r'\d+% · 20 running — Haulwright',
                                                                      self.browser.title))
        # Once each of the 20 has told its size: the bytes of those, not of the 980 waiting.
        wait_until('the totals', lambda: re.fullmatch(
            r'[\d.]+ [KM]iB/s in all · [\d.]+ [KM]iB of 80\.0 MiB \(\d+%\) of what is under way', self.text('totals')))

        # Scrolled to the end: the last rows are drawn, in order, and the first ones are not.
        self.browser.execute_script('scrollTo(0, document.documentElement.scrollHeight)')
        wait_until('the end drawn', lambda: 'n0999.bin' in self.names())
        drawn = self.names()
        self.assertLess(len(drawn), 60)
        self.assertEqual(drawn, ['n%04d.bin' % i for i in range(1000 - len(drawn), 1000)])
        # A queued one pauses as a running one does, and stays paused where it stood.
        self.assertEqual(self.rows()['n0999.bin']['buttons'], ['pause', 'abort'])
        self.press('n0999.bin', 'pause')
        paused = self.row_when('n0999.bin', lambda r: r['state'] == 'paused', 'paused')
        self.assertEqual(paused['buttons'], ['resume', 'abort', 'forget'])
        self.abort('n0998.bin')
        aborted = self.row_when('n0998.bin', lambda r: r['state'] == 'aborted', 'aborted')
        self.assertEqual(aborted['buttons'], ['forget'])
        self.assertRegex(self.text('summary'), r'^20 running · 9[0-9]{2} queued · 1 paused · 1 aborted$')
        self.screenshot('thousand-rows-end')
        # And the middle.
        self.browser.execute_script("""
            const list = document.getElementById('rows');
            scrollTo(0, list.getBoundingClientRect().top + scrollY + 500 * list.offsetHeight / 1000)""")
        wait_until('the middle drawn', lambda: 'n0500.bin' in self.names())
        self.assertFalse({'n0000.bin', 'n0999.bin'} & set(self.names()))
        self.browser.execute_script('scrollTo(0, 0)')
        wait_until('the start drawn again', lambda: 'n0000.bin' in self.names())
        self.screenshot('thousand-rows')
        self.assertNoLeak()

if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--haul', required=True)
    parser.add_argument('--screenshots', required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.screenshots, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)

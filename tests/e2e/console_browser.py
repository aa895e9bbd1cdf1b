#!/usr/bin/python3
"""Drives the leaderboard console in headless Chromium (Debian's chromium,
chromium-driver and python3-selenium) the way an operator would, and prints
what the page showed as one JSON object on the last line of its output.
ConsoleTest (console_test.cc) starts the server, runs this script and checks
the printed observations and the stores. A step whose element never appears
fails with a message naming it. Screenshots of every view go to
--screenshots.

  console_browser.py --url http://127.0.0.1:PORT/console/ --token TOKEN \
      --leaderboard ID --reset-leaderboard ID --provider P --account A \
      --define-leaderboard ID --define-starts "YYYY-MM-DD HH:MM:SS" \
      --screenshots DIR

With --league ID it visits the league view instead (the token, then the
league's rules, tiers, a tier's cohorts, a cohort's standing and tier
histories, one of them of --league-hostile, an account id made to break out
of the page's text):

  console_browser.py --url ... --token TOKEN --league ID \
      --league-tier TIER --league-hostile ACCOUNT --screenshots DIR
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import Select, WebDriverWait

WAIT_SECONDS = 10


class Console:
    def __init__(self, driver, url, screenshots):
        self.driver = driver
        self.url = url
        self.screenshots = screenshots
        # Views whose text shows a value the page failed to render.
        self.broken = []
        self.start = time.monotonic()

    def mark(self, name):
        # Where the time goes, printed with the output when the test fails.
        print('%s done after %.1f s' % (name, time.monotonic() - self.start),
              file=sys.stderr)

    def wait(self, what, condition):
        try:
            return WebDriverWait(self.driver, WAIT_SECONDS,
                                 poll_frequency=0.05).until(condition)
        except TimeoutException:
            self.shot('failed')
            notice = self.driver.find_elements(By.ID, 'notice')
            text = notice[0].text if notice else ''
            raise SystemExit('waited in vain for ' + what +
                             (' (notice: ' + text + ')' if text else ''))

    def visible(self, css):
        return self.wait(css, ec.visibility_of_element_located(
            (By.CSS_SELECTOR, css)))

    def text_in(self, css, text):
        self.wait(css + ' to show "' + text + '"',
                  ec.text_to_be_present_in_element((By.CSS_SELECTOR, css),
                                                   text))
        return self.driver.find_element(By.CSS_SELECTOR, css).text

    def open(self, fragment):
        # Once the page is loaded a view is a change of the fragment, as a
        # click on a link would make it: no reload.
        if self.driver.current_url.startswith(self.url):
            self.driver.execute_script('location.hash = arguments[0]',
                                       fragment)
        else:
            self.driver.get(self.url + fragment)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.screenshots,
                                                 name + '.png'))
        text = self.driver.find_element(By.TAG_NAME, 'body').text
        words = text.split()
        for word in ('undefined', 'null', 'NaN'):
            if word in words:
                self.broken.append(name + ': ' + word)
        if '[object' in text:
            self.broken.append(name + ': [object')

    def rows(self, table_id):
        table = self.visible('#' + table_id)
        return [[cell.text for cell in row.find_elements(By.TAG_NAME, 'td')]
                for row in table.find_elements(By.CSS_SELECTOR, 'tbody tr')]

    def fill(self, css, text):
        field = self.driver.find_element(By.CSS_SELECTOR, css)
        field.clear()
        field.send_keys(text)

    def confirm(self, shot_name=None):
        self.visible('#confirm-dialog[open]')
        question = self.driver.find_element(By.ID, 'confirm-text').text
        if shot_name:
            self.shot(shot_name)
        self.driver.find_element(By.ID, 'confirm-ok').click()
        return question

    def notice(self, text):
        return self.text_in('#notice', text)


def token_steps(page, token, seen):
    # Without the token the page shows its form and no data.
    page.open('#/leaderboards')
    page.visible('#token-view')
    seen['without_token'] = {
        'reason': page.driver.find_element(By.ID, 'token-reason').text,
        'tables': len(page.driver.find_elements(By.CSS_SELECTOR, '#view table')),
    }
    page.shot('token')
    page.fill('#token-input', 'not-the-token-at-all')
    page.driver.find_element(By.CSS_SELECTOR, '#token-form button').click()
    seen['wrong_token'] = page.text_in('#token-reason', 'refused')
    page.fill('#token-input', token)
    page.driver.find_element(By.CSS_SELECTOR, '#token-form button').click()
    seen['leaderboards'] = page.rows('leaderboards-table')
    page.shot('leaderboards')


def ranking_steps(page, args, seen):
    lb = args.leaderboard
    page.open('#/ranking?id=' + lb + '&size=5')
    seen['ranking_page_1'] = page.rows('ranking-table')
    seen['ranking_status_1'] = page.visible('#page-status').text
    page.shot('ranking')
    page.driver.find_element(By.ID, 'page-next').click()
    page.text_in('#page-status', 'Positions 6')
    seen['ranking_page_2'] = page.rows('ranking-table')

    page.fill('#player-search input[name=provider]', args.provider)
    page.fill('#player-search input[name=account]', args.account)
    page.driver.find_element(By.CSS_SELECTOR,
                             '#player-search button').click()
    seen['found'] = page.visible('#found-player').text
    seen['highlighted'] = [cell.text for cell in page.driver.find_elements(
        By.CSS_SELECTOR, '#ranking-table tr.highlight td')]
    page.shot('ranking-search')

    # Cancelling changes nothing; confirming deletes.
    page.driver.find_element(By.CSS_SELECTOR,
                             '#ranking-table tr.highlight button.delete').click()
    page.visible('#confirm-dialog[open]')
    page.driver.find_element(By.ID, 'confirm-cancel').click()
    seen['cancelled'] = page.notice('Nothing was deleted')
    page.driver.find_element(By.CSS_SELECTOR,
                             '#ranking-table tr.highlight button.delete').click()
    seen['delete_question'] = page.confirm('confirm-delete')
    seen['deleted'] = page.notice('Deleted the scores')
    page.wait('the ranking without the player', lambda d: not d.find_elements(
        By.CSS_SELECTOR, '#ranking-table tr.highlight'))
    seen['after_delete'] = page.rows('ranking-table')


def player_steps(page, args, seen):
    page.open('#/player?provider=' + args.provider + '&account=' +
              args.account)
    seen['deleted_player'] = page.visible('#player-empty').text
    page.open('#/player?provider=' + args.provider + '&account=' +
              args.other_account)
    seen['player'] = page.rows('player-table')
    page.shot('player')


def schedule_steps(page, args, seen):
    page.open('#/schedules')
    seen['schedules'] = page.rows('schedules-table')
    seen['reset_log'] = page.rows('reset-log-table')
    key = args.reset_leaderboard + '_day'
    page.driver.find_element(
        By.CSS_SELECTOR, 'tr[data-key="' + key + '"] button.reset').click()
    seen['reset_question'] = page.confirm()
    seen['reset'] = page.notice('Reset of ' + key)
    page.shot('schedules')


def period_steps(page, args, seen):
    # The day the forced reset closed, in the archive: listed (shown again
    # until the archive has it, a moment after the reset), then opened.
    fragment = '#/periods?id=' + args.reset_leaderboard

    def listed(driver):
        rows = driver.find_elements(By.CSS_SELECTOR, '#periods-table tbody tr')
        if not rows and driver.find_elements(By.ID, 'no-periods'):
            page.open(fragment + '&again=%f' % time.monotonic())
        return rows

    page.open(fragment)
    page.wait('the archived day', listed)
    seen['periods'] = page.rows('periods-table')
    page.driver.find_element(By.LINK_TEXT, 'Open').click()
    seen['period_status'] = page.text_in('#period-status', 'Positions')
    seen['period_standings'] = page.rows('period-table')
    page.shot('periods')


def definition_steps(page, args, seen):
    # Defines a lowest-first leaderboard with a daily schedule (a bad start
    # first, which the page reports), then changes it to a weekly one.
    driver = page.driver
    lb = args.define_leaderboard
    row = 'tr[data-id="' + lb + '"]'

    def row_cells():
        page.wait('the row of ' + lb,
                  lambda d: d.find_elements(By.CSS_SELECTOR, row))
        return [cell.text for cell in
                driver.find_elements(By.CSS_SELECTOR, row + ' td')]

    def submit():
        driver.find_element(By.CSS_SELECTOR,
                            '#define-form button[type=submit]').click()

    page.open('#/leaderboards')
    page.visible('#define-form')
    page.fill('#define-id', lb)
    Select(driver.find_element(By.ID, 'define-sort-order')).select_by_value(
        'ascending')
    driver.find_element(By.ID, 'define-day').click()
    page.fill('#define-day-starts', 'soon')
    submit()
    seen['definition_refused'] = page.notice("field='starts'")
    page.fill('#define-day-starts', args.define_starts)
    submit()
    seen['defined'] = page.notice('Saved the definition of ' + lb)
    seen['defined_row'] = row_cells()
    driver.find_element(By.CSS_SELECTOR, row + ' button.edit').click()
    driver.find_element(By.ID, 'define-day').click()
    driver.find_element(By.ID, 'define-week').click()
    page.fill('#define-week-starts', args.define_starts)
    submit()
    seen['changed'] = page.notice('version 2')
    seen['changed_row'] = row_cells()
    page.shot('definitions')


def league_steps(page, args, seen):
    lb = args.league
    driver = page.driver
    mark = page.mark
    # The leaderboards view says it is a league and opens it.
    seen['league_row'] = [cell.text for cell in driver.find_elements(
        By.CSS_SELECTOR, 'tr[data-id="' + lb + '"] td')]
    driver.find_element(By.CSS_SELECTOR, 'tr[data-id="' + lb +
                        '"] .league-rules a').click()
    seen['league_rules'] = page.visible('#league-rules').text
    seen['league_tiers'] = page.rows('league-tiers-table')
    page.shot('league')
    mark('league tiers')

    # A tier's cohorts, then the first cohort's standing.
    driver.find_element(By.CSS_SELECTOR, 'tr[data-tier="' + args.league_tier +
                        '"] a').click()
    seen['league_cohorts_status'] = page.text_in('#cohorts-status', 'Cohorts')
    seen['league_cohorts'] = page.rows('league-cohorts-table')
    driver.find_element(By.CSS_SELECTOR,
                        '#league-cohorts-table tbody tr a').click()
    page.visible('#league-standing-title')
    seen['league_standing'] = page.rows('league-standing-table')
    seen['league_zones'] = [row.get_attribute('class') for row in
                            driver.find_elements(By.CSS_SELECTOR,
                                                 '#league-standing-table tbody tr')]
    page.shot('league-standing')
    mark('league standing')
    # The first player's tier history, from its row.
    driver.find_element(By.CSS_SELECTOR,
                        '#league-standing-table tbody tr a').click()
    seen['league_player_tier'] = page.visible('#league-player-tier').text
    seen['league_history'] = page.rows('league-history-table')
    page.shot('league-history')
    mark('league history')

    # The hostile account: its standing row and history read as text, and
    # nothing of it became markup or ran.
    page.open('#/league?id=' + lb + '&cohort=' + args.league_hostile_cohort)
    page.visible('#league-standing-title')
    row = page.wait('the row of the hostile account', lambda d: [
        r for r in d.find_elements(By.CSS_SELECTOR,
                                   '#league-standing-table tbody tr')
        if r.get_attribute('data-account') == args.league_hostile])[0]
    seen['hostile_row'] = [cell.text for cell in
                           row.find_elements(By.TAG_NAME, 'td')]
    row.find_element(By.LINK_TEXT, 'History').click()
    seen['hostile_title'] = page.visible('#league-player-title').text
    seen['hostile_history'] = page.rows('league-history-table')
    seen['hostile_markup'] = len(driver.find_elements(
        By.CSS_SELECTOR, '#view img, #view b'))
    seen['hostile_ran'] = driver.execute_script(
        'return window.pwned !== undefined')
    page.shot('league-hostile')
    mark('league hostile id')

    # An unknown cohort is refused with the server's message.
    page.open('#/league?id=' + lb + '&cohort=' + args.league_tier + '-99')
    seen['unknown_cohort'] = page.notice('No such cohort')


def health_steps(page, seen):
    page.open('#/health')
    seen['readiness'] = page.visible('#readiness').text
    seen['checks'] = page.rows('checks-table')
    seen['metric_count'] = len(page.rows('metrics-table'))
    page.shot('health')


def main():
    parser = argparse.ArgumentParser()
    for name in ('url', 'token', 'screenshots'):
        parser.add_argument('--' + name, required=True)
    # Without --league every one of these is needed, with it the second set.
    everyday = ('leaderboard', 'reset-leaderboard', 'provider', 'account',
                'other-account', 'define-leaderboard', 'define-starts')
    league = ('league', 'league-tier', 'league-hostile',
              'league-hostile-cohort')
    for name in everyday + league:
        parser.add_argument('--' + name)
    args = parser.parse_args()
    for name in league if args.league else everyday:
        if getattr(args, name.replace('-', '_')) is None:
            parser.error('--' + name + ' is required')
    os.makedirs(args.screenshots, exist_ok=True)
    for name in os.listdir(args.screenshots):
        if name.endswith('.png'):
            os.remove(os.path.join(args.screenshots, name))

    profile = tempfile.mkdtemp(prefix='console-browser-')
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ('--headless', '--no-sandbox', '--disable-gpu',
                 '--disable-quic', '--no-first-run',
                 '--disable-background-networking',
                 '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage', '--window-size=1280,860',
                 '--user-data-dir=' + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'),
                              options=options)
    seen = {}
    page = Console(driver, args.url, args.screenshots)

    def step(name, run, *step_args):
        run(*step_args)
        page.mark(name)

    try:
        step('browser start', lambda: None)
        step('token', token_steps, page, args.token, seen)
        if args.league:
            step('league', league_steps, page, args, seen)
        else:
            step('ranking', ranking_steps, page, args, seen)
            step('player', player_steps, page, args, seen)
            step('schedules', schedule_steps, page, args, seen)
            step('definitions', definition_steps, page, args, seen)
            step('health', health_steps, page, seen)
            step('periods', period_steps, page, args, seen)
        seen['broken'] = page.broken
        seen['errors'] = [entry['message'] for entry in driver.get_log('browser')
                          if entry['level'] == 'SEVERE' and
                          '401' not in entry['message'] and
                          '404' not in entry['message'] and
                          # The definition with a bad start, refused.
                          not ('/v1/leaderboards/' in entry['message'] and
                               'status of 400' in entry['message'])]
    finally:
        driver.quit()
        # The profile is the browser's alone; a run leaves nothing behind.
        shutil.rmtree(profile, ignore_errors=True)
    print(json.dumps(seen))
    return 0


if __name__ == '__main__':
    sys.exit(main())

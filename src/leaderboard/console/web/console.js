// The leaderboard console: reads and changes leaderboards through the
// server's JSON routes (/v1/console/..., /v1/leaderboards/...,
// /v1/leaderboard_schedules/..., /v1/period_archive/...).
// Views are chosen by the URL's fragment (#/ranking?id=...), so each can be
// bookmarked and reloaded. Data is put on the page as text, never as HTML.
'use strict';

(function () {
  const TOKEN_KEY = 'plemox.console.token';
  const TIME_SPAN_LABELS = {
    all_time: 'All time', daily: 'Today', weekly: 'This week',
    monthly: 'This month', yesterday: 'Yesterday', last_week: 'Last week',
    last_month: 'Last month',
  };
  const DEFAULT_PAGE_SIZE = 50;

  // The answer of /v1/console/leaderboards/, kept for the selectors.
  let overview = null;
  // Set when an action's notice must outlive the next render.
  let keepNotice = false;

  // ---- Talking to the server ---------------------------------------------

  class ApiError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  function storedToken() {
    return sessionStorage.getItem(TOKEN_KEY) || '';
  }

  // `body`, when given, is sent as JSON.
  async function api(method, path, body) {
    const headers = { Accept: 'application/json' };
    const token = storedToken();
    if (token) headers.Authorization = 'Bearer ' + token;
    const init = { method, headers, cache: 'no-store', credentials: 'omit' };
    if (body !== undefined) {
      headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(path, init);
    } catch (error) {
      throw new ApiError(0, 'The server did not answer (' + error.message + ').');
    }
    let answer = null;
    try {
      answer = await response.json();
    } catch (error) {
      answer = null;
    }
    const message = answer && typeof answer.message === 'string' ? answer.message : '';
    if (response.status === 401) {
      showTokenForm(token ? 'The token was refused: ' + message
                          : 'This server needs its API token.');
      throw new ApiError(401, message || 'API token needed');
    }
    if (!response.ok || (answer && answer.error === true)) {
      throw new ApiError(response.status,
                         message || 'The server answered ' + response.status + '.');
    }
    return answer;
  }

  function query(params) {
    const pairs = [];
    for (const [name, value] of Object.entries(params)) {
      if (value === undefined || value === null || value === '') continue;
      pairs.push(encodeURIComponent(name) + '=' + encodeURIComponent(value));
    }
    return pairs.length ? '?' + pairs.join('&') : '';
  }

  async function loadOverview() {
    overview = await api('GET', '/v1/console/leaderboards/');
    return overview;
  }

  // ---- Building the page ---------------------------------------------------

  // el('td', {className: 'number'}, 'text', childNode, ...)
  function el(tag, props, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(props || {})) {
      if (name === 'dataset') Object.assign(node.dataset, value);
      else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
      else node[name] = value;
    }
    for (const child of children.flat()) {
      if (child === null || child === undefined) continue;
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  function table(headers, rows, props) {
    const head = el('tr', {}, headers.map((h) =>
      el('th', { className: h.number ? 'number' : '' },
         typeof h === 'string' ? h : h.label)));
    return el('table', props || {}, el('thead', {}, head), el('tbody', {}, rows));
  }

  function numberCell(value) {
    return el('td', { className: 'number' }, value === null || value === undefined ? '–' : value);
  }

  function setView(title, ...content) {
    const view = document.getElementById('view');
    view.replaceChildren(el('h2', {}, title), ...content.filter((c) => c));
  }

  function notify(kind, text) {
    const notice = document.getElementById('notice');
    notice.className = kind;
    notice.textContent = text;
    notice.hidden = false;
  }

  function clearNotice() {
    document.getElementById('notice').hidden = true;
  }

  function showError(error) {
    if (error.status === 401) return;  // the token form says it
    notify('error', error.message);
  }

  function showTokenForm(reason) {
    document.getElementById('token-reason').textContent = reason;
    document.getElementById('token-view').hidden = false;
    document.getElementById('view').replaceChildren();
    document.getElementById('token-input').focus();
  }

  // Asks before a destructive action; resolves true when confirmed.
  function confirmAction(title, text, action) {
    const dialog = document.getElementById('confirm-dialog');
    document.getElementById('confirm-title').textContent = title;
    document.getElementById('confirm-text').textContent = text;
    document.getElementById('confirm-ok').textContent = action;
    dialog.returnValue = '';
    return new Promise((resolve) => {
      dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'),
                              { once: true });
      dialog.showModal();
    });
  }

  function leaderboardSelect(selected) {
    return el('select', { name: 'leaderboard' }, (overview ? overview.leaderboards : []).map(
      (lb) => el('option', { value: lb.id, selected: lb.id === selected }, lb.id)));
  }

  function timeSpanSelect(selected) {
    const names = overview ? overview.time_spans : Object.keys(TIME_SPAN_LABELS);
    return el('select', { name: 'span' }, names.map((name) =>
      el('option', { value: name, selected: name === selected },
         TIME_SPAN_LABELS[name] || name)));
  }

  function numberingSelect(selected) {
    const names = overview ? overview.numberings : ['position', 'competition', 'dense'];
    return el('select', { name: 'numbering' }, names.map((name) =>
      el('option', { value: name, selected: name === selected }, name)));
  }

  function labelled(text, control) {
    return el('label', {}, text, control);
  }

  function go(view, params) {
    const target = '#/' + view + query(params || {});
    if (location.hash === target) render();
    else location.hash = target;
  }

  // ---- Actions -------------------------------------------------------------

  // Asks `question` ({title, text, button, declined}) and, when confirmed,
  // runs the async `change`; failures are shown as notices.
  async function perform(question, change) {
    if (!await confirmAction(question.title, question.text, question.button)) {
      notify('success', question.declined);
      return;
    }
    try {
      await change();
    } catch (error) {
      showError(error);
    }
  }

  // Deletes after asking; then shows `next` ({view, params}) or the current
  // view again, keeping the notice that says what was done.
  function deleteScores(id, provider, account, next) {
    const player = provider + ':' + account;
    return perform({
      title: 'Delete scores',
      text: 'Delete every score of player ' + player + ' on leaderboard ' + id +
        '? This removes the player from all of its rankings (all time, the ' +
        'current and the previous day, week and month) in Redis and from its ' +
        'tables in MariaDB. It cannot be undone.',
      button: 'Delete scores',
      declined: 'Nothing was deleted.',
    }, async () => {
      const answer = await api('DELETE', '/v1/console/leaderboards/' +
        encodeURIComponent(id) + '/players/' + query({ provider, account }));
      notify('success', 'Deleted the scores of ' + player + ' on ' + id + ': ' +
             answer.message);
      keepNotice = true;
      if (next) go(next.view, next.params);
      else render();
    });
  }

  function forceReset(schedule) {
    return perform({
      title: 'Reset now',
      text: 'Roll the ' + (PERIOD_LABELS[schedule.period] || schedule.period) +
        ' ranking of ' + schedule.leaderboard_id + ' over now (schedule ' +
        schedule.key + ')? The current ranking replaces the previous ' +
        'period\'s in Redis and MariaDB and starts empty. The schedule and ' +
        'its log stay as they are.',
      button: 'Reset now',
      declined: 'Nothing was reset.',
    }, async () => {
      const answer = await api('PUT', '/v1/leaderboard_schedules/' +
                               encodeURIComponent(schedule.key) + '/');
      notify(answer.result ? 'success' : 'error',
             'Reset of ' + schedule.key + ': ' + answer.result_desc);
      keepNotice = true;
      render();
    });
  }

  // ---- Views ---------------------------------------------------------------

  const PERIODS = ['day', 'week', 'month'];
  const ORDER_LABELS = { descending: 'highest first', ascending: 'lowest first' };
  const SOURCE_LABELS = {
    manifest: 'manifest', definition: 'defined at run time',
    first_score: 'made by its first score',
  };

  const PERIOD_LABELS = { day: 'daily', week: 'weekly', month: 'monthly' };

  // A league's rules ("league" of a ranking option) in a sentence.
  function leagueRulesText(league) {
    return 'League of ' + league.tiers.length + ' tiers (' + league.tiers.join(' < ') +
      '), ' + (PERIOD_LABELS[league.period] || league.period || '') + ' cohorts of up to ' +
      league.cohort_size + ': the first ' + league.promote + ' move up, the last ' +
      league.relegate + ' down; absent players ' +
      (league.absent === 'down' ? 'move down' : 'stay') + '.';
  }

  // The rules of one leaderboard as GET /v1/leaderboards/ lists them.
  function rulesText(rules) {
    if (!rules) return 'default rules';
    const option = rules.ranking_option;
    return [SOURCE_LABELS[rules.source] || rules.source,
            ORDER_LABELS[option.sort_order] || option.sort_order,
            option.enable_alltime ? 'all-time' : 'no all-time',
            option.enable_dense ? 'dense' : 'no dense'].join(', ') +
      (rules.retired ? ', retired' : '');
  }

  function scheduleText(s) {
    return 'every ' + (s.interval === 1 ? '' : s.interval + ' ') + s.period +
      ' from ' + s.starts + ' until ' + s.ends;
  }

  // The form that defines a leaderboard or changes a definition: its rules
  // and a schedule per period.
  function definitionForm() {
    const periodFields = PERIODS.map((period) => el('fieldset', { className: 'schedule' },
      el('legend', {}, labelled('Reset every ' + period,
                                el('input', { type: 'checkbox', id: 'define-' + period }))),
      labelled('Interval', el('input', { type: 'number', min: 1, value: 1,
                                         id: 'define-' + period + '-interval' })),
      labelled('Starts', el('input', { id: 'define-' + period + '-starts',
                                       placeholder: '2026-12-07 00:00:00' })),
      labelled('Ends', el('input', { id: 'define-' + period + '-ends',
                                     value: '2099-01-01 00:00:00' }))));
    return el('form', { id: 'define-form', onsubmit: (event) => {
      event.preventDefault();
      saveDefinition();
    } },
    el('div', { className: 'controls' },
      labelled('Leaderboard', el('input', { id: 'define-id', required: true,
                                            spellcheck: false })),
      labelled('Order', el('select', { id: 'define-sort-order' },
        Object.entries(ORDER_LABELS).map(([value, label]) =>
          el('option', { value }, label)))),
      labelled('All-time ranking', el('input', { type: 'checkbox', id: 'define-alltime',
                                                 checked: true })),
      labelled('Dense rankings', el('input', { type: 'checkbox', id: 'define-dense',
                                               checked: true }))),
    periodFields,
    el('button', { type: 'submit' }, 'Save definition'));
  }

  // Fills the form with a definition, to change it.
  function editDefinition(rules) {
    const field = (name) => document.getElementById('define-' + name);
    field('id').value = rules.leaderboard_id;
    field('sort-order').value = rules.ranking_option.sort_order;
    field('alltime').checked = rules.ranking_option.enable_alltime;
    field('dense').checked = rules.ranking_option.enable_dense;
    for (const period of PERIODS) {
      const schedule = rules.reset_schedules.find((s) => s.period === period);
      field(period).checked = Boolean(schedule);
      if (schedule) {
        field(period + '-interval').value = schedule.interval;
        field(period + '-starts').value = schedule.starts;
        field(period + '-ends').value = schedule.ends;
      }
    }
    field('id').focus();
  }

  async function saveDefinition() {
    const field = (name) => document.getElementById('define-' + name);
    const id = field('id').value.trim();
    const body = {
      ranking_option: {
        sort_order: field('sort-order').value,
        enable_alltime: field('alltime').checked,
        enable_dense: field('dense').checked,
      },
      reset_schedules: PERIODS.filter((period) => field(period).checked).map((period) => ({
        period,
        interval: Number(field(period + '-interval').value),
        starts: field(period + '-starts').value.trim(),
        ends: field(period + '-ends').value.trim(),
      })),
    };
    try {
      const answer = await api('PUT', '/v1/leaderboards/' + encodeURIComponent(id) + '/', body);
      notify('success', 'Saved the definition of ' + id + ' (version ' + answer.version + ').');
      keepNotice = true;
      overview = null;
      render();
    } catch (error) {
      showError(error);
    }
  }

  async function leaderboardsView() {
    const [data, listing] = await Promise.all([
      loadOverview(), api('GET', '/v1/leaderboards/')]);
    const rulesOf = {};
    for (const rules of listing.leaderboards) rulesOf[rules.leaderboard_id] = rules;
    const spans = data.time_spans;
    const rows = data.leaderboards.map((lb) => {
      const rules = rulesOf[lb.id];
      const schedules = rules ? rules.reset_schedules : [];
      const status = lb.schedules.map((s) => el('div', { className: 'muted' },
        s.key + ' — next ' + s.next_date_time + ', last ' + s.past_date_time));
      return el('tr', { dataset: { id: lb.id } },
        el('td', {}, el('a', { href: '#/ranking' + query({ id: lb.id }) }, lb.id)),
        el('td', {}, rulesText(rules), ' ',
           rules && rules.source === 'definition'
             ? el('button', { type: 'button', className: 'edit',
                              onclick: () => editDefinition(rules) }, 'Change')
             : null,
           rules && rules.ranking_option.league
             ? el('div', { className: 'league-rules' },
                  leagueRulesText(rules.ranking_option.league), ' ',
                  el('a', { href: '#/league' + query({ id: lb.id }) }, 'Open the league'))
             : null),
        el('td', {}, schedules.length === 0 && status.length === 0
          ? el('span', { className: 'muted' }, 'none')
          : schedules.map((s) => el('div', {}, scheduleText(s))).concat(status)),
        spans.map((span) => numberCell(lb.players[span])));
    });
    setView('Leaderboards',
      el('p', { className: 'muted' }, 'Players per ranking; a name opens its ranking.'),
      table(['Leaderboard', 'Rules', 'Reset schedules',
             ...spans.map((s) => ({ label: TIME_SPAN_LABELS[s] || s, number: true }))],
            rows, { id: 'leaderboards-table' }),
      el('h3', {}, 'Define a leaderboard or change a definition'),
      el('p', { className: 'muted' }, 'The order of a leaderboard that has scores cannot ' +
         'change. Other servers use a change within a few seconds.'),
      definitionForm());
  }

  async function rankingView(params) {
    if (!overview) await loadOverview();
    const id = params.get('id') || (overview.leaderboards[0] || {}).id;
    if (!id) {
      setView('Ranking', el('p', {}, 'This server has no leaderboards.'));
      return;
    }
    const span = params.get('span') || 'all_time';
    const numbering = params.get('numbering') || 'position';
    const size = Number(params.get('size')) || DEFAULT_PAGE_SIZE;
    const provider = params.get('provider') || '';
    const account = params.get('account') || '';
    const from = Number(params.get('from')) || 1;
    const base = { id, span, numbering, size };

    const sizeInput = el('input', { type: 'number', name: 'size', min: 1,
                                    max: overview.max_page_size, value: size });
    const fromInput = el('input', { type: 'number', name: 'from', min: 1, value: from });
    const controls = el('form', { className: 'controls', id: 'ranking-controls',
      onsubmit: (event) => {
        event.preventDefault();
        const form = event.target;
        go('ranking', { id: form.elements.leaderboard.value, span: form.span.value,
                        numbering: form.numbering.value, size: form.size.value,
                        from: form.from.value });
      } },
      labelled('Leaderboard', leaderboardSelect(id)), labelled('Time span', timeSpanSelect(span)),
      labelled('Numbering', numberingSelect(numbering)), labelled('Page size', sizeInput),
      labelled('From position', fromInput), el('button', { type: 'submit' }, 'Show'));
    const search = el('form', { className: 'controls', id: 'player-search',
      onsubmit: (event) => {
        event.preventDefault();
        go('ranking', { ...base, provider: event.target.provider.value.trim(),
                        account: event.target.account.value.trim() });
      } },
      labelled('Service provider', el('input', { name: 'provider', value: provider, required: true })),
      labelled('Local account', el('input', { name: 'account', value: account, required: true })),
      el('button', { type: 'submit' }, 'Find player'));

    let page;
    try {
      page = await api('GET', '/v1/console/leaderboards/' + encodeURIComponent(id) +
        '/ranking/' + query({ time_span: span, numbering, size,
                              from: provider ? '' : from, provider, account }));
    } catch (error) {
      setView('Ranking of ' + id, controls, search);
      throw error;
    }
    fromInput.value = page.from;
    const found = page.player ? page.player.position : null;
    const rows = page.records.map((r) => el('tr', {
      className: r.position === found ? 'highlight' : '',
      dataset: { provider: r.provider, account: r.account } },
      numberCell(r.position), numberCell(r.rank), numberCell(r.score),
      el('td', {}, r.provider), el('td', {}, r.account),
      el('td', {}, r.display_name || ''),
      el('td', {},
         el('a', { href: '#/player' + query({ provider: r.provider, account: r.account }) },
            'Player'), ' ',
         el('button', { type: 'button', className: 'danger delete',
                        onclick: () => deleteScores(id, r.provider, r.account, {
                          view: 'ranking', params: { ...base, from: page.from } }) },
            'Delete'))));
    const last = page.from + page.records.length - 1;
    const pager = el('div', { className: 'pager' },
      el('button', { type: 'button', id: 'page-previous', disabled: page.from <= 1,
                     onclick: () => go('ranking', { ...base,
                       from: Math.max(1, page.from - page.size) }) }, '← Previous'),
      el('span', { id: 'page-status' }, page.records.length === 0
        ? 'No players at position ' + page.from + ' or below; ' + page.total_player_count + ' in all.'
        : 'Positions ' + page.from + '–' + last + ' of ' + page.total_player_count),
      el('button', { type: 'button', id: 'page-next',
                     disabled: last >= page.total_player_count,
                     onclick: () => go('ranking', { ...base, from: page.from + page.size }) },
         'Next →'));
    setView('Ranking of ' + id + ' (' + (TIME_SPAN_LABELS[span] || span) + ')',
      controls, search,
      found ? el('p', { id: 'found-player' }, 'Player ' + provider + ':' + account +
                 ' is at position ' + found + '.') : null,
      pager,
      table(['Position', 'Rank', 'Score', 'Service provider', 'Local account', 'Name', ''].map(
        (h, i) => ({ label: h, number: i < 3 })), rows, { id: 'ranking-table' }));
  }

  async function playerView(params) {
    const provider = params.get('provider') || '';
    const account = params.get('account') || '';
    const form = el('form', { className: 'controls', id: 'player-form',
      onsubmit: (event) => {
        event.preventDefault();
        go('player', { provider: event.target.provider.value.trim(),
                       account: event.target.account.value.trim() });
      } },
      labelled('Service provider', el('input', { name: 'provider', value: provider, required: true })),
      labelled('Local account', el('input', { name: 'account', value: account, required: true })),
      el('button', { type: 'submit' }, 'Look up'));
    if (!provider || !account) {
      setView('Player', form, el('p', { className: 'muted' },
        'A player is named by a service provider and a local account.'));
      return;
    }
    const data = await api('GET', '/v1/console/players/' + query({ provider, account }));
    const rows = data.entries.map((e) => el('tr', { dataset: { id: e.leaderboard_id } },
      el('td', {}, el('a', { href: '#/ranking' + query({ id: e.leaderboard_id,
        span: e.time_span, provider, account }) }, e.leaderboard_id)),
      el('td', {}, TIME_SPAN_LABELS[e.time_span] || e.time_span),
      numberCell(e.rank), numberCell(e.score), numberCell(e.total_player_count)));
    const boards = [...new Set(data.entries.map((e) => e.leaderboard_id))];
    setView('Player ' + provider + ':' + account, form,
      data.entries.length === 0
        ? el('p', { id: 'player-empty' }, 'This player has no score on any leaderboard.')
        : table(['Leaderboard', 'Time span', { label: 'Rank', number: true },
                 { label: 'Score', number: true }, { label: 'Players', number: true }],
                rows, { id: 'player-table' }),
      boards.length === 0 ? null : el('div', { className: 'controls' }, boards.map((id) =>
        el('button', { type: 'button', className: 'danger delete', dataset: { id },
                       onclick: () => deleteScores(id, provider, account) },
           'Delete scores on ' + id))));
  }

  async function schedulesView() {
    if (!overview) await loadOverview();
    const [schedules, log] = await Promise.all([
      api('GET', '/v1/leaderboard_schedules/status/all/'),
      api('GET', '/v1/leaderboard_schedules/log/all/'),
    ]);
    const rows = schedules.map((s) => el('tr', { dataset: { key: s.key } },
      el('td', {}, s.key), el('td', {}, s.leaderboard_id),
      el('td', {}, 'every ' + s.interval + ' ' + s.period), el('td', {}, s.past_date_time),
      el('td', {}, s.next_date_time), el('td', {}, s.expired ? 'expired' : 'active'),
      el('td', {}, overview.forced_reset_enabled
        ? el('button', { type: 'button', className: 'danger reset',
                         onclick: () => forceReset(s) }, 'Reset now')
        : el('span', { className: 'muted' }, '—'))));
    const entries = [];
    for (const [key, value] of Object.entries(log)) {
      if (!Array.isArray(value)) continue;
      for (const row of value) entries.push({ key, ...row });
    }
    entries.sort((a, b) => String(b.reset_date_time).localeCompare(String(a.reset_date_time)));
    setView('Schedules and resets',
      table(['Schedule', 'Leaderboard', 'Period', 'Last reset', 'Next reset', 'State', ''],
            rows, { id: 'schedules-table' }),
      overview.forced_reset_enabled ? null : el('p', { className: 'muted' },
        'Forced resets are off (start the server with --enable_reset_leaderboard_api).'),
      el('h3', {}, 'Reset log'),
      entries.length === 0 ? el('p', { id: 'reset-log-empty', className: 'muted' },
                                'No scheduled reset has run yet.')
        : table(['Schedule', 'Scheduled for', 'Reset at'], entries.map((e) => el('tr', {},
            el('td', {}, e.key), el('td', {}, e.schedule_date_time),
            el('td', {}, e.reset_date_time))), { id: 'reset-log-table' }));
  }

  async function healthView() {
    const data = await api('GET', '/v1/console/health/');
    const checks = Object.entries(data.checks).map(([name, check]) => el('tr', {},
      el('td', {}, name),
      el('td', {}, el('span', { className: check.ok ? 'badge ok' : 'badge bad' },
                      check.ok ? 'ok' : 'failing')),
      el('td', {}, check.error || '')));
    const metrics = Object.entries(data.metrics).map(([name, value]) =>
      el('tr', {}, el('td', {}, name), numberCell(value)));
    setView('Health',
      el('p', { id: 'readiness' }, el('span', { className: data.ready ? 'badge ok' : 'badge bad' },
        data.ready ? 'ready' : 'not ready'), ' ',
        data.master.is_master ? 'This server is the master (' + data.master.self + ').'
          : 'Master: ' + (data.master.current || 'unknown') + '; this server: ' +
            data.master.self + '.'),
      table(['Check', 'State', 'Error'], checks, { id: 'checks-table' }),
      el('h3', {}, 'Figures from /metrics (summed over labels)'),
      table(['Metric', { label: 'Value', number: true }], metrics, { id: 'metrics-table' }));
  }

  // Closed periods kept in the archive (/v1/period_archive/...): the list of
  // a leaderboard's periods, and one period's standings page by page.
  async function periodsView(params) {
    if (!overview) await loadOverview();
    const id = params.get('id') || (overview.leaderboards[0] || {}).id;
    if (!id) {
      setView('Past periods', el('p', {}, 'This server has no leaderboards.'));
      return;
    }
    const base = '/v1/period_archive/' + encodeURIComponent(id) + '/';
    const controls = el('form', { className: 'controls', id: 'periods-controls',
      onsubmit: (event) => {
        event.preventDefault();
        go('periods', { id: event.target.elements.leaderboard.value });
      } },
      labelled('Leaderboard', leaderboardSelect(id)), el('button', { type: 'submit' }, 'Show'));
    const list = await api('GET', base);
    const rows = list.periods.map((p) => el('tr', {},
      el('td', {}, p.period), el('td', {}, p.period_start), el('td', {}, p.period_end),
      el('td', {}, p.reset), numberCell(p.total_player_count),
      el('td', {}, el('a', { href: '#/periods' + query({ id, period: p.period,
                                                          start: p.period_start }) },
                      'Open'))));
    const content = [controls, list.periods.length === 0
      ? el('p', { id: 'no-periods' }, 'No closed period of ' + id + ' is archived.')
      : table(['Period', 'Start', 'End', 'Reset', { label: 'Players', number: true }, ''],
              rows, { id: 'periods-table' })];
    const period = params.get('period');
    const start = params.get('start');
    if (period && start) {
      const size = Math.min(Number(params.get('size')) || DEFAULT_PAGE_SIZE,
                            overview.max_page_size);
      const from = Math.max(1, Number(params.get('from')) || 1);
      const page = await api('GET', base + encodeURIComponent(period) + '/' +
        encodeURIComponent(start) + '/' + query({ offset: from - 1, limit: size }));
      const here = { id, period, start, size };
      const last = from + page.standings.length - 1;
      content.push(el('h3', { id: 'period-title' }, 'The ' + period + ' from ' + start),
        el('div', { className: 'pager' },
          el('button', { type: 'button', id: 'period-previous', disabled: from <= 1,
                         onclick: () => go('periods', { ...here, from: Math.max(1, from - size) }) },
             '← Previous'),
          el('span', { id: 'period-status' }, page.standings.length === 0
            ? 'No players at position ' + from + ' or below; ' + page.total_player_count + ' in all.'
            : 'Positions ' + from + '–' + last + ' of ' + page.total_player_count),
          el('button', { type: 'button', id: 'period-next',
                         disabled: last >= page.total_player_count,
                         onclick: () => go('periods', { ...here, from: from + size }) },
             'Next →')),
        table(['Position', 'Competition', 'Dense', 'Score', 'Service provider',
               'Local account'].map((h, i) => ({ label: h, number: i < 4 })),
              page.standings.map((r) => el('tr', {},
                numberCell(r.position), numberCell(r.competition_rank),
                numberCell(r.dense_rank), numberCell(r.score),
                el('td', {}, r.service_provider), el('td', {}, r.local_account))),
              { id: 'period-table' }));
    }
    setView('Past periods of ' + id, ...content);
  }

  const VIEWS = {
    leaderboards: leaderboardsView,
    ranking: rankingView,
    player: playerView,
    schedules: schedulesView,
    health: healthView,
    periods: periodsView,
  };

  async function render() {
    if (keepNotice) keepNotice = false;
    else clearNotice();
    const hash = location.hash.replace(/^#\/?/, '');
    const [name, search] = hash.split('?');
    const viewName = VIEWS[name] ? name : 'leaderboards';
    for (const link of document.querySelectorAll('nav a')) {
      link.classList.toggle('current', link.dataset.view === viewName);
    }
    document.getElementById('view').dataset.view = viewName;
    try {
      await VIEWS[viewName](new URLSearchParams(search || ''));
      document.getElementById('token-view').hidden = true;
      document.getElementById('forget-token').hidden = !storedToken();
    } catch (error) {
      showError(error);
    }
  }

  // What the views of other files (console_league.js, loaded after this
  // one) build on; they add themselves to VIEWS before the first render.
  window.plemoxConsole = Object.freeze({
    api, query, el, table, numberCell, setView, labelled, go, loadOverview,
    leagueRulesText, views: VIEWS, overview: () => overview, DEFAULT_PAGE_SIZE,
  });

  document.addEventListener('DOMContentLoaded', () => {
    document.getElementById('token-form').addEventListener('submit', (event) => {
      event.preventDefault();
      const input = document.getElementById('token-input');
      sessionStorage.setItem(TOKEN_KEY, input.value.trim());
      input.value = '';
      overview = null;
      render();
    });
    document.getElementById('forget-token').addEventListener('click', () => {
      sessionStorage.removeItem(TOKEN_KEY);
      overview = null;
      render();
    });
    window.addEventListener('hashchange', () => render());
    render();
  });
})();

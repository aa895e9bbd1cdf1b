// The league view of the leaderboard console: a league's tiers with their
// players and cohorts, a page of one tier's cohorts, one cohort's standing
// with the promotion and relegation zones, and one player's tier and tier
// history. It reads the league routes (/v1/leagues/<id>/...) and the rules
// of GET /v1/leaderboards/. Data is put on the page as text, never as HTML.
'use strict';

(function (c) {
  const MOVE_LABELS = { up: '↑ up to ', down: '↓ down to ' };

  // The path of a league route; every part from the server or the operator
  // is percent-encoded.
  function leaguePath(id, ...parts) {
    return '/v1/leagues/' + [id, ...parts].map(encodeURIComponent).join('/') + '/';
  }

  // "← Previous", where we are, "Next →" over `total` items shown `size` at
  // a time from the 1-based `from`; `shown` of them are on the page.
  function pager(idPrefix, what, from, shown, size, total, goTo) {
    const last = from + shown - 1;
    return c.el('div', { className: 'pager' },
      c.el('button', { type: 'button', id: idPrefix + '-previous', disabled: from <= 1,
                       onclick: () => goTo(Math.max(1, from - size)) }, '← Previous'),
      c.el('span', { id: idPrefix + '-status' }, shown === 0
        ? 'No ' + what + ' from ' + from + ' on; ' + total + ' in all.'
        : what[0].toUpperCase() + what.slice(1) + ' ' + from + '–' + last + ' of ' + total),
      c.el('button', { type: 'button', id: idPrefix + '-next', disabled: last >= total,
                       onclick: () => goTo(from + Math.max(shown, 1)) }, 'Next →'));
  }

  // The page size asked for in `params`, within the bound of rankings.
  function pageSize(params) {
    return Math.max(1, Math.min(Number(params.get('size')) || c.DEFAULT_PAGE_SIZE,
                                c.overview().max_page_size));
  }

  function tiersSection(id, tiers) {
    // Highest first, as a ladder reads.
    const rows = tiers.tiers.slice().reverse().map((t) => c.el('tr', { dataset: { tier: t.tier } },
      c.el('td', {}, t.tier), c.numberCell(t.players), c.numberCell(t.cohorts),
      c.el('td', {}, t.cohorts > 0
        ? c.el('a', { href: '#/league' + c.query({ id, tier: t.tier }) }, 'Cohorts')
        : c.el('span', { className: 'muted' }, '—'))));
    return [c.el('h3', {}, 'Tiers of the current ' + tiers.period + ' (highest first)'),
      c.table(['Tier', { label: 'Players', number: true }, { label: 'Cohorts', number: true }, ''],
              rows, { id: 'league-tiers-table' })];
  }

  async function cohortsSection(id, tier, params) {
    const size = pageSize(params);
    const from = Math.max(1, Number(params.get('from')) || 1);
    const page = await c.api('GET', leaguePath(id, 'tiers', tier, 'cohorts') +
                             c.query({ offset: from - 1, limit: size }));
    const rows = page.cohorts.map((cohort) => c.el('tr', {},
      c.el('td', {}, cohort.cohort_id), c.numberCell(cohort.players),
      c.el('td', {}, c.el('a', { href: '#/league' + c.query({ id, cohort: cohort.cohort_id }) },
                          'Standing'))));
    return [c.el('h3', { id: 'league-cohorts-title' }, 'Cohorts of tier ' + tier),
      pager('cohorts', 'cohorts', from, page.cohorts.length, size, page.total_cohorts,
            (next) => c.go('league', { id, tier, size, from: next })),
      c.table(['Cohort', { label: 'Players', number: true }, ''], rows,
              { id: 'league-cohorts-table' })];
  }

  async function standingSection(id, rules, cohortId, params) {
    const size = pageSize(params);
    const from = Math.max(1, Number(params.get('from')) || 1);
    const cohort = await c.api('GET', leaguePath(id, 'cohorts', cohortId));
    const zone = { up: 'zone-up', down: 'zone-down' };
    const rows = cohort.standing.slice(from - 1, from - 1 + size).map((r) => c.el('tr', {
      className: zone[r.move] || '', dataset: { account: r.local_account } },
      c.numberCell(r.position), c.numberCell(r.competition_rank), c.numberCell(r.dense_rank),
      c.numberCell(r.score), c.el('td', {}, r.service_provider), c.el('td', {}, r.local_account),
      c.el('td', {}, r.display_name || ''),
      c.el('td', {}, MOVE_LABELS[r.move] ? MOVE_LABELS[r.move] + r.new_tier : 'stays'),
      c.el('td', {}, c.el('a', { href: '#/league' + c.query({
        id, provider: r.service_provider, account: r.local_account }) }, 'History'))));
    const shown = rows.length;
    return [c.el('h3', { id: 'league-standing-title' },
                 'Standing of cohort ' + cohort.cohort_id + ' (tier ' + cohort.tier + ')'),
      c.el('p', { className: 'muted' }, 'If the period ended now: ',
           c.el('span', { className: 'zone-up legend' }, 'promotion zone'), ' (the first ' +
           rules.promote + ', not above the highest tier), ',
           c.el('span', { className: 'zone-down legend' }, 'relegation zone'), ' (the last ' +
           rules.relegate + ', not below the lowest).'),
      pager('standing', 'positions', from, shown, size, cohort.standing.length,
            (next) => c.go('league', { id, cohort: cohortId, size, from: next })),
      c.table(['Position', 'Competition', 'Dense', 'Score'].map((h) => ({ label: h, number: true }))
        .concat(['Service provider', 'Local account', 'Name', 'Move', '']),
              rows, { id: 'league-standing-table' })];
  }

  async function playerSection(id, rules, provider, account) {
    const data = await c.api('GET', leaguePath(id, 'players', provider, account));
    const order = (tier) => rules.tiers.indexOf(tier);
    const rows = data.history.map((h) => c.el('tr', {},
      c.el('td', {}, h.period_start), c.el('td', {}, h.period_end), c.el('td', {}, h.cohort_id),
      c.numberCell(h.position), c.numberCell(h.score), c.el('td', {}, h.tier),
      c.el('td', {}, h.new_tier),
      c.el('td', {}, order(h.new_tier) > order(h.tier) ? '↑ up'
        : order(h.new_tier) < order(h.tier) ? '↓ down' : 'stayed')));
    return [c.el('h3', { id: 'league-player-title' }, 'Player ' + provider + ':' + account),
      c.el('p', { id: 'league-player-tier' }, 'Tier now: ' + data.tier + '.'),
      data.history.length === 0
        ? c.el('p', { id: 'league-history-empty', className: 'muted' },
               'No period of this league has ended with this player in it.')
        : c.table(['Period start', 'Period end', 'Cohort', { label: 'Position', number: true },
                   { label: 'Score', number: true }, 'Tier', 'New tier', 'Move'],
                  rows, { id: 'league-history-table' })];
  }

  async function leagueView(params) {
    if (!c.overview()) await c.loadOverview();
    const listing = await c.api('GET', '/v1/leaderboards/');
    const leagues = listing.leaderboards.filter((lb) => lb.ranking_option.league);
    if (leagues.length === 0) {
      c.setView('Leagues', c.el('p', { id: 'no-leagues' },
        'No leaderboard of this server is a league (a league is a leaderboard whose ' +
        'ranking option has a "league" member).'));
      return;
    }
    const id = params.get('id') || leagues[0].leaderboard_id;
    const found = leagues.find((lb) => lb.leaderboard_id === id);
    const provider = params.get('provider') || '';
    const account = params.get('account') || '';
    const controls = c.el('form', { className: 'controls', id: 'league-controls',
      onsubmit: (event) => {
        event.preventDefault();
        c.go('league', { id: event.target.elements.league.value });
      } },
      c.labelled('League', c.el('select', { name: 'league' }, leagues.map((lb) =>
        c.el('option', { value: lb.leaderboard_id, selected: lb.leaderboard_id === id },
             lb.leaderboard_id)))),
      c.el('button', { type: 'submit' }, 'Show'));
    if (!found) {
      c.setView('Leagues', controls, c.el('p', {}, 'Leaderboard ' + id + ' is no league.'));
      return;
    }
    const rules = found.ranking_option.league;
    const search = c.el('form', { className: 'controls', id: 'league-player-form',
      onsubmit: (event) => {
        event.preventDefault();
        c.go('league', { id, provider: event.target.provider.value.trim(),
                         account: event.target.account.value.trim() });
      } },
      c.labelled('Service provider', c.el('input', { name: 'provider', value: provider,
                                                     required: true })),
      c.labelled('Local account', c.el('input', { name: 'account', value: account,
                                                  required: true })),
      c.el('button', { type: 'submit' }, 'Tier history'));
    const content = [controls, c.el('p', { id: 'league-rules' }, c.leagueRulesText(rules)),
      search];
    const tiers = tiersSection(id, await c.api('GET', leaguePath(id, 'tiers')));
    // Below the tiers, the part the fragment asks for; a refusal (an
    // unknown cohort, a bad player id) is shown as the notice under the
    // tiers.
    const tier = params.get('tier');
    const cohort = params.get('cohort');
    let part = [];
    try {
      if (provider && account) part = await playerSection(id, rules, provider, account);
      else if (cohort) part = await standingSection(id, rules, cohort, params);
      else if (tier) part = await cohortsSection(id, tier, params);
    } catch (error) {
      c.setView('League ' + id, ...content, ...tiers);
      throw error;
    }
    c.setView('League ' + id, ...content, ...tiers, ...part);
  }

  c.views.league = leagueView;
})(window.plemoxConsole);

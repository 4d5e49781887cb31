import assert from 'node:assert/strict';
import {test} from 'node:test';

import {NEVER, ZorvaConvertError, ZorvaServerStats, ZorvaUser} from '../zorva.js';

test('user texts read back to the same text', async (t) => {
  const cases = {
    'bare record': 'ann^^^^^^^^^12/30/1899^12/30/1899^0^^0`0`^',
    'every field': 'ann^pw^Ann^Lee^Oslo^NO^a@b.c^http://x^more^01/02/2020^12/31/2026^7^^0`0`^',
    'info tokens': 'ann^^^^^^^^^12/30/1899^12/30/1899^1^Level=3`Score=10`^0`0`^',
    'glyph column by column': 'ann^^^^^^^^^12/30/1899^12/30/1899^1^^2`3`1`2`3`4`5`16777215`^',
    'year below 100': 'ann^^^^^^^^^01/01/0099^02/29/2024^1^^0`0`^',
    'text beyond ASCII': 'zoë^^Zoë^Ødegård^^^^^^12/30/1899^12/30/1899^-1^^0`0`^',
  };
  for (const [label, text] of Object.entries(cases)) {
    await t.test(label, () => assert.equal(ZorvaUser.fromString(text).toString(), text));
  }
});

test('a glyph is stored row by row from its column-by-column text', () => {
  const user = ZorvaUser.fromString('a^^^^^^^^^12/30/1899^12/30/1899^1^^2`3`1`2`3`4`5`6`^');
  assert.deepEqual(user.glyph.pixels, [1, 4, 2, 5, 3, 6]);
  assert.equal(user.glyph.pixel(1, 0), 4);
});

test('user texts that do not parse name the bad field', async (t) => {
  const head = 'ann^^^^^^^^^';
  const cases = [
    ['month 13', `${head}13/01/2020^12/30/1899^1^^0\`0\`^`, 'CreationDate'],
    ['30 February', `${head}12/30/1899^02/30/2024^1^^0\`0\`^`, 'LastLoginDate'],
    ['year 0', `${head}01/01/0000^12/30/1899^1^^0\`0\`^`, 'CreationDate'],
    ['missing dates', 'ann^', 'CreationDate'],
    ['plus sign', `${head}12/30/1899^12/30/1899^+1^^0\`0\`^`, 'LoginCount'],
    ['past 32 bits', `${head}12/30/1899^12/30/1899^2147483648^^0\`0\`^`, 'LoginCount'],
    ['glyph too wide', `${head}12/30/1899^12/30/1899^1^^33\`1\`${'0`'.repeat(33)}^`, 'Glyph size'],
    ['more pixels claimed than sent', `${head}12/30/1899^12/30/1899^1^^2\`2\`1\`^`, 'Glyph size'],
    ['negative side', `${head}12/30/1899^12/30/1899^1^^-1\`0\`^`, 'Glyph size'],
    ['pixel past white', `${head}12/30/1899^12/30/1899^1^^1\`1\`16777216\`^`, 'Glyph pixel'],
    ['pixel not a number', `${head}12/30/1899^12/30/1899^1^^1\`1\`red\`^`, 'Glyph pixel'],
  ];
  for (const [label, text, field] of cases) {
    const isFieldError = (error) => error instanceof ZorvaConvertError && error.field === field;
    await t.test(label, () => assert.throws(() => ZorvaUser.fromString(text), isFieldError));
  }
});

test('info tokens are found and replaced by tag regardless of case', () => {
  const user = new ZorvaUser();
  user.setInfoToken('Level', '3');
  user.setInfoToken('Score', '10');
  user.setInfoToken('LEVEL', '4');
  assert.deepEqual(user.infoTokens, ['LEVEL=4', 'Score=10']);
  assert.equal(user.getInfoToken('level'), '4');
  user.setInfoToken('level', '');
  assert.deepEqual(user.infoTokens, ['Score=10']);
  assert.equal(user.getInfoToken('missing'), '');
  assert.equal(user.getInfoTokenTag(0), 'Score');
  assert.throws(() => user.getInfoTokenValue(1), RangeError);
});

test('connection quality averages the measured round trips of the last five', () => {
  const user = new ZorvaUser();
  assert.equal(user.getConnectionQuality(), 0);
  for (const ms of [500, 0, 10, 20, 0, 31]) user.recordPing(ms);
  assert.deepEqual(user.pingHistory, [0, 10, 20, 0, 31]);
  assert.equal(user.getConnectionQuality(), 20);
});

test('a new user has never logged in', () => {
  const user = new ZorvaUser();
  assert.equal(user.creationDate.getTime(), NEVER.getTime());
  assert.equal(user.toString(), '^^^^^^^^^12/30/1899^12/30/1899^0^^0`0`^');
});

test('statistics read and write the server text form', async (t) => {
  const cases = {
    'whole byte totals': '61`2`5`1`3`4`1024`2048`',
    'byte totals past 10^15': '1`0`0`0`0`0`1.5E15`1.23456789012346E20`',
  };
  for (const [label, text] of Object.entries(cases)) {
    await t.test(label, () => {
      const stats = new ZorvaServerStats();
      stats.fromString(text);
      assert.equal(stats.toString(), text);
    });
  }
  await t.test('a field that is no number is named', () => {
    const stats = new ZorvaServerStats();
    assert.throws(() => stats.fromString('1`2`x`'), (error) => error.field === 'TotalConnections');
  });
});

test('the time active reads in words', () => {
  const stats = new ZorvaServerStats();
  const cases = [
    [0, '0 secs'],
    [1, '1 sec'],
    [61, '1 min 1 sec'],
    [7322, '2 hrs 2 mins 2 secs'],
    [90061, '1 day 1 hr 1 min 1 sec'],
    [172800, '2 days 0 secs'],
  ];
  for (const [seconds, words] of cases) {
    stats.secondsActive = seconds;
    assert.equal(stats.getTimeActiveDesc(), words, `${seconds} s`);
  }
});

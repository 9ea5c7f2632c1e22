// tuf-js's Updater behind the plain client's command shape, so that the independent client
// reads what our publisher writes and plays the attack table's reference:
//   --metadata-dir DIR init TRUSTED_ROOT
//   --metadata-dir DIR --metadata-url URL refresh
//   --metadata-dir DIR --metadata-url URL --target-name PATH --target-base-url URL
//     --target-dir DIR download
// Exit 0 on success, 1 with tuf-js's error on stderr otherwise. A target is saved under its
// URL-encoded name.
import fs from 'node:fs';
import path from 'node:path';
import { Updater } from 'tuf-js';

const options = {};
const [verb, operand] = process.argv.slice(2).filter((a, i, all) => {
  if (a.startsWith('--')) options[a.slice(2)] = all[i + 1];
  return !a.startsWith('--') && !all[i - 1]?.startsWith('--');
});
const option = (name) => options[name];

try {
  const dir = option('metadata-dir');
  if (verb === 'init') {
    fs.mkdirSync(dir, { recursive: true });
    fs.copyFileSync(operand, path.join(dir, 'root.json'));
  } else {
    const updater = new Updater({
      metadataDir: dir, metadataBaseUrl: option('metadata-url'),
      targetDir: option('target-dir'), targetBaseUrl: option('target-base-url'),
      config: { fetchRetries: 0 },
    });
    await updater.refresh();
    if (verb === 'download') {
      const name = option('target-name');
      const info = await updater.getTargetInfo(name);
      if (!info) throw new Error(`no target ${name}`);
      const file = path.join(option('target-dir'), encodeURIComponent(name));
      fs.mkdirSync(option('target-dir'), { recursive: true });
      if (!(await updater.findCachedTarget(info, file))) await updater.downloadTarget(info, file);
    } else if (verb !== 'refresh') {
      throw new Error(`unknown command ${verb}`);
    }
  }
} catch (e) {
  console.error(`${e.name}: ${e.message}`);
  process.exit(1);
}

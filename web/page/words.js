// The page's own words. How a job ended, its waits and its progress come worded from the
// engine (the outcome's verdict and question, the reports' words), in the page's terms.

// The port could not be opened: what the browser said, and what to do about it.
export function portAdvice(o) {
  const said = o.port_error ? `The browser said: ${o.port_error}. ` : '';
  return `${said}Close any other program or browser tab using the adapter, check that it is ` +
         'plugged in, then press Choose adapter and pick it again.';
}

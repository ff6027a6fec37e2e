#pragma once

// The helper's entry: makes the one VornHelper, listens on the service
// "com.jorvu.vorn.helper" (the socket handed over by whoever started it, or
// its own), logs its start-up at DEBUG level and parks the main thread until
// SIGTERM or SIGINT; then it stops serving, cancels the work jobs and waits
// for the running requests. Returns the exit status: 0 after a signal, 1 when
// there is nothing to listen on.
int runVornHelper();

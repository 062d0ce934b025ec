# netns_host run as a child process (under Wine or natively), its standard
# output collected line by line; the end of its input stops it.
import re, subprocess, threading  # noqa: E401


class Host:
    def __init__(self, command):
        self.lines, self.cond = [], threading.Condition()
        self.proc = subprocess.Popen(command, text=True, bufsize=1, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def matching(self, pattern):
        with self.cond:
            return [l for l in self.lines if re.search(pattern, l)]

    def wait_for(self, pattern, timeout=15, count=1):
        with self.cond:
            if not self.cond.wait_for(lambda: len(self.matching(pattern)) >= count, timeout):
                raise AssertionError("fewer than %d lines matching %r; last lines:\n%s"
                                     % (count, pattern, "\n".join(self.lines[-60:])))
            return self.matching(pattern)[0]

    def messages(self):  # of the log lines, behind their prefix
        return [re.sub(r"LOG \d .*?->[\w:]+:\d+\] ", "", l) for l in self.matching(r"^LOG \d ")]

    def stop(self):
        self.proc.stdin.close()
        try:
            status = self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        assert status == 0, "host exit status %d" % status  # a crash, or a sanitizer's report
        self.wait_for(r"^EXIT$", 5)

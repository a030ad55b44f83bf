"""Plain Python models of the room rosters' and participant rosters' rules, for the model-based
tests (the other stateful objects are held to the benchmark's pure-Python baselines)."""


def move_to_back(ordered, key):
    ordered.pop(key, None)
    ordered[key] = True


class Counter:
    def __init__(self, start=0):
        self.next = start

    def exhausted(self):
        return self.next == 2**64 - 1

    def take(self):
        self.next += 1
        return self.next - 1


class RosterModel:
    def __init__(self):
        self.admitted, self.admitting, self.tickets = {}, {}, Counter()

    def membership(self, r):
        if r in self.admitting:
            return "admitting"
        return "admitted" if r in self.admitted else "unadmitted"

    def begin(self, r, passes_filter):
        if not passes_filter or self.membership(r) != "unadmitted" or self.tickets.exhausted():
            return None
        self.admitting[r] = self.tickets.take()
        return self.admitting[r]

    def record(self, r, ticket, succeeded):
        if self.admitting.get(r) != ticket:
            return False
        del self.admitting[r]
        if succeeded:
            move_to_back(self.admitted, r)
        return succeeded

    def removed(self, r):
        self.admitting.pop(r, None)
        return self.admitted.pop(r, None) is not None

    def clear(self):
        everything = sorted(list(self.admitted) + list(self.admitting), key=lambda s: s.encode())
        self.admitted, self.admitting = {}, {}
        return everything

    def reconcile(self, current):
        snapshot = set(current)
        by_bytes = lambda s: s.encode()  # noqa: E731
        removed = sorted((r for r in self.admitted if r not in snapshot), key=by_bytes)
        resync = sorted((r for r in self.admitted if r in snapshot), key=by_bytes)
        new = sorted((r for r in snapshot if self.membership(r) == "unadmitted"), key=by_bytes)
        for r in removed:
            del self.admitted[r]
        admitting = []
        for r in new:
            if self.tickets.exhausted():
                continue
            self.admitting[r] = self.tickets.take()
            admitting.append((r, self.admitting[r]))
        return removed, admitting, resync


FIELDS = ("name", "type", "handle", "description")


class ParticipantModel:
    def __init__(self):
        self.entries, self.sent = [], None

    @staticmethod
    def convert(p):
        return {"id": p["id"], **{f: p.get(f) for f in FIELDS}}

    @staticmethod
    def merge(new, old):
        return {"id": new["id"], **{f: new[f] if new[f] not in (None, "") else old[f] for f in FIELDS}}

    def index(self, pid):
        return next((i for i, e in enumerate(self.entries) if e["id"] == pid), None)

    def add(self, p):
        new, i = self.convert(p), self.index(p["id"])
        if i is None:
            self.entries.append(new)
            return True
        self.entries[i] = self.merge(new, self.entries[i])
        return False

    def remove(self, pid):
        i = self.index(pid)
        if i is not None:
            del self.entries[i]
        return i is not None

    def set_all(self, snapshot):
        """None on success, else the issue triples of the refused snapshot."""
        seen, issues = set(), []
        for i, p in enumerate(snapshot):
            if p["id"] in seen:
                issues.append((f"participants[{i}].id", "invalid_value",
                               f"duplicate participant id `{p['id']}` in set_all snapshot"))
            seen.add(p["id"])
        if issues:
            return tuple(issues)
        current = {e["id"]: e for e in self.entries}
        self.entries = [self.merge(self.convert(p), current[p["id"]]) if p["id"] in current else self.convert(p)
                        for p in snapshot]
        return None

    def changed(self):
        return self.sent is None or self.sent != self.entries

    def mark_sent(self):
        self.sent = [dict(e) for e in self.entries]

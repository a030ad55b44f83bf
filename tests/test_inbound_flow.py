"""An inbound message as a host drives it: route, claim, count the attempt, run the turn, settle,
write, confirm or park, release; duplicates and self echoes along the way."""

import quarn_sdk_core as q

AGENT = "agent-1"


def message(mid, sender="u1", sender_type="User", room="r1", content="hi"):
    return {
        "id": mid, "content": content, "message_type": "text", "sender_type": sender_type,
        "sender_id": sender, "inserted_at": "t0", "updated_at": "t0", "chat_room_id": room,
    }


class Host:
    """The smallest host loop: each handled message records what the ledgers answered."""

    def __init__(self, max_retries=2):
        self.claims = q.ClaimRegistry()
        self.retries = q.RetryTracker(max_retries=max_retries)
        self.turns = []      # message ids whose handler ran
        self.replies = []    # (room, text) posted
        self.written = []    # terminal states written to the platform
        self.refuse_next_write = False

    def deliver(self, payload, agent_turn):
        decision = q.evaluate_delivery_event("message_created", None, payload, AGENT)
        if decision["decision"] != "invocation":
            return decision["decision"]
        room, mid = decision["room_id"], decision["message_id"]
        verdict = self.claims.guarded_claim(room, mid, self.retries)
        if verdict != "runnable":
            return verdict
        try:
            assert q.evaluate_next_message(mid, mid)["decision"] == "ready_to_claim"
            self.retries.record_attempt(mid)
            self.turns.append(mid)
            ledger = q.TurnLedger()
            succeeded = agent_turn(ledger)
            if ledger.verdict() is q.TurnVerdict.MissingReply:
                self.replies.append((room, q.missing_reply_message()))
            ack = q.evaluate_adapter_result(room, mid, succeeded)
            if ack["decision"] == "processed":
                settlement = self.claims.record_processed_settlement(room, mid)
            else:
                settlement = self.claims.record_failed_settlement(room, mid, "provider down", self.retries, True)
            if self.refuse_next_write:
                self.refuse_next_write = False
                self.claims.park_settlement(room, mid, settlement["token"], q.ParkedReason.Rejected)
            else:
                self.written.append((mid, ack["decision"]))
                assert self.claims.confirm_settlement(room, mid, settlement["token"], self.retries)
            return settlement["continuation"]["kind"]
        finally:
            self.claims.release(room, mid)


def reply(text):
    def turn(ledger):
        ledger.record(q.TurnEffect.Reply)
        return True
    return turn


def silent(ledger):
    ledger.record(q.TurnEffect.Observe)
    return True


def failing(ledger):
    return False


def test_each_message_runs_once_and_duplicates_are_suppressed():
    host = Host()
    assert host.deliver(message("m1"), reply("hello")) == "finished"
    assert host.deliver(message("m1"), reply("again")) == "completed"
    assert host.deliver(message("m2", sender=AGENT, sender_type="Agent"), reply("echo")) == "skip_self"
    assert host.deliver(message("m3"), silent) == "finished"
    assert host.turns == ["m1", "m3"]
    assert host.replies == [("r1", q.missing_reply_message())]
    assert host.written == [("m1", "processed"), ("m3", "processed")]
    assert host.claims.inflight_ids("r1") == [] and host.claims.pending_ack_ids("r1") == []


def test_a_failed_turn_is_retried_then_exhausted():
    host = Host(max_retries=2)
    assert host.deliver(message("m1"), failing) == "retry"
    assert host.deliver(message("m1"), failing) == "finished"
    assert host.retries.is_permanently_failed("m1")
    assert host.deliver(message("m1"), reply("late")) == "completed"
    host.claims.discard_completed("r1")
    assert host.deliver(message("m1"), reply("late")) == "exhausted"
    assert host.turns == ["m1", "m1"]
    assert host.written == [("m1", "failed"), ("m1", "failed")]


def test_a_parked_write_holds_duplicates_until_confirmed():
    host = Host()
    host.refuse_next_write = True
    host.deliver(message("m1"), reply("hi"))
    assert host.deliver(message("m1"), reply("dup")) == "pending"
    pending = host.claims.pending_settlement("r1", "m1")
    assert pending["parked"] == "rejected"
    assert host.claims.unpark_acks("r1") == 1
    assert host.claims.confirm_settlement("r1", "m1", pending["token"], host.retries)
    assert host.deliver(message("m1"), reply("dup")) == "completed"
    assert host.turns == ["m1"]


def test_drain_after_a_reconnect_skips_what_was_seen():
    seen = ["m1"]
    candidates = [message("m1"), message("m2", sender=AGENT, sender_type="Agent"), message("m3"), None]
    steps = [q.evaluate_drain_candidate(c, seen, AGENT)["decision"] for c in candidates]
    assert steps == ["drain", "self_echo", "out_of_snapshot", "no_candidate"]

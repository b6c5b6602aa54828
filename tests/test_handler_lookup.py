"""Which handler method an event calls, when the handler or its class changes between events.

Events raised by the SDK remember each handler class's method between events; events raised from
Python (a base method called directly) look it up every time. Every case runs both ways, and on the
SDK's side the first event is delivered before the change, so that the change meets a remembered
method.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest

from conftest import CloudRig
from mirelo import _mirelo as m

PURE_VIRTUAL = 'Tried to call pure virtual function "QOLTCloudDelegate::OnEnterRoom"'
NOT_A_FUNCTION = "Object of type 'int' is not an instance of 'function'"


class Handler(m.QOLTCloudDelegate):
    """Notes which method each event reached."""

    def __init__(self) -> None:
        super().__init__()
        self.reached: list[str] = []

    def OnEnterRoom(self) -> None:
        self.reached.append("class")


def replacement(label: str) -> Callable[[Any], None]:
    def OnEnterRoom(self: Any) -> None:
        self.reached.append(label)

    return OnEnterRoom


class Delivery:
    """Raises OnEnterRoom on a handler, from the SDK or from Python, and tells what became of it."""

    def __init__(self, path: str, make_cloud: Callable[..., CloudRig], handler: Handler) -> None:
        self.path = path
        self.handler = handler
        self.rig = make_cloud(handler) if path == "sdk" else None
        self.failures_seen = 0

    def __call__(self) -> str:
        """The method reached, or the error text when the event failed."""
        before = len(self.handler.reached)
        if self.rig is None:
            try:
                m.QOLTCloudDelegate.OnEnterRoom(self.handler)
            except Exception as error:  # the event's outcome is what is compared
                return str(error)
        else:
            from mirelo import loopback

            self.rig.emit("OnEnterRoom")
            loopback.flush()
            failures = self.rig.failures()
            if len(failures) > self.failures_seen:
                self.failures_seen = len(failures)
                return failures[-1][1]
        reached = self.handler.reached[before:]
        return reached[0] if len(reached) == 1 else repr(reached)


@pytest.fixture(params=["sdk", "python"])
def deliver(request: Any, make_cloud: Callable[..., CloudRig]) -> Callable[[Handler], Delivery]:
    return lambda handler: Delivery(request.param, make_cloud, handler)


def test_a_method_reassigned_on_the_class_is_called_from_the_next_event(deliver: Any) -> None:
    class Own(Handler):
        pass

    event = deliver(Own())
    assert event() == "class"
    Own.OnEnterRoom = replacement("reassigned")  # type: ignore[method-assign]
    assert event() == "reassigned"


def test_a_method_reassigned_on_a_base_class_reaches_subclasses_that_inherit_it(deliver: Any) -> None:
    class Base(Handler):
        pass

    class Own(Base):
        pass

    event = deliver(Own())
    assert event() == "class"
    Base.OnEnterRoom = replacement("base")  # type: ignore[method-assign]
    assert event() == "base"
    del Base.OnEnterRoom
    assert event() == "class"


def test_a_handler_without_an_instance_dictionary_reaches_its_method(deliver: Any) -> None:
    class Slotted(m.QOLTCloudDelegate):
        __slots__ = ("reached",)

        def __init__(self) -> None:
            super().__init__()
            self.reached: list[str] = []

        def OnEnterRoom(self) -> None:
            self.reached.append("slotted")

    handler = Slotted()
    assert not hasattr(handler, "__dict__")
    event = deliver(handler)
    assert [event(), event()] == ["slotted", "slotted"]


def test_a_method_assigned_on_the_instance_wins_and_its_removal_restores_the_class_method(deliver: Any) -> None:
    handler = Handler()
    event = deliver(handler)
    assert event() == "class"
    handler.OnEnterRoom = lambda: handler.reached.append("instance")  # type: ignore[method-assign]
    assert event() == "instance"
    del handler.OnEnterRoom
    assert event() == "class"


def test_a_changed_class_calls_the_new_class_method(deliver: Any) -> None:
    class Other(Handler):
        def OnEnterRoom(self) -> None:
            self.reached.append("other")

    handler = Handler()
    event = deliver(handler)
    assert event() == "class"
    handler.__class__ = Other
    assert event() == "other"
    handler.__class__ = Handler
    assert event() == "class"


def test_an_overridden_getattribute_is_asked_on_every_event(deliver: Any) -> None:
    class Redirecting(Handler):
        answer = "class"

        def __getattribute__(self, name: str) -> Any:
            if name == "OnEnterRoom" and object.__getattribute__(self, "answer") != "class":
                label = object.__getattribute__(self, "answer")
                return lambda: object.__getattribute__(self, "reached").append(label)
            return super().__getattribute__(name)

    handler = Redirecting()
    event = deliver(handler)
    assert event() == "class"
    handler.answer = "redirected"
    assert event() == "redirected"


def test_a_non_function_attribute_fails_the_event_with_the_type_text(deliver: Any) -> None:
    class Own(Handler):
        pass

    event = deliver(Own())
    assert event() == "class"
    Own.OnEnterRoom = 5  # type: ignore[assignment]
    assert event() == NOT_A_FUNCTION
    Own.OnEnterRoom = replacement("function again")  # type: ignore[method-assign]
    assert event() == "function again"


def test_super_from_an_override_reaches_the_base_and_fails_as_pure_virtual(deliver: Any) -> None:
    class CallsDown(m.QOLTCloudDelegate):
        def __init__(self) -> None:
            super().__init__()
            self.reached: list[str] = []

        def OnEnterRoom(self) -> None:
            self.reached.append("override")
            super().OnEnterRoom()

    handler = CallsDown()
    event = deliver(handler)
    for _ in range(2):
        assert PURE_VIRTUAL in event()  # raised in the override, so the event fails with its traceback
        assert handler.reached[-1] == "override"
        handler.reached.clear()


def test_a_class_without_the_method_fails_as_pure_virtual_even_after_it_gains_one(deliver: Any) -> None:
    # The first miss is remembered per class for good, as the binding's base library does: a method
    # added to that class later is not looked for.
    class Missing(m.QOLTCloudDelegate):
        reached: list[str] = []

    event = deliver(Missing())  # type: ignore[arg-type]
    assert event() == PURE_VIRTUAL
    Missing.OnEnterRoom = replacement("added")  # type: ignore[attr-defined]
    assert event() == PURE_VIRTUAL


def test_a_base_method_assigned_on_the_instance_makes_the_class_miss_for_good(deliver: Any) -> None:
    # Looking up the base's own method counts as a miss for the class, remembered as above; other
    # instances of that class then miss too, though their class has the method.
    class Own(Handler):
        pass

    first, second = Own(), Own()
    event, other = deliver(first), deliver(second)
    assert event() == "class"
    assert other() == "class"
    first.OnEnterRoom = m.QOLTCloudDelegate.OnEnterRoom.__get__(first)  # type: ignore[method-assign]
    assert event() == PURE_VIRTUAL
    assert other() == PURE_VIRTUAL


def test_handlers_of_many_classes_alternating_each_reach_their_own_method(deliver: Any) -> None:
    classes = [type(f"Own{i}", (Handler,), {"OnEnterRoom": replacement(f"own{i}")}) for i in range(6)]
    events = [deliver(cls()) for cls in classes]
    for _ in range(3):
        assert [event() for event in events] == [f"own{i}" for i in range(6)]


def test_a_handler_class_that_is_dropped_is_freed_with_its_method(make_cloud: Callable[..., CloudRig]) -> None:
    # Remembering a method must not keep it, its class or its module's globals alive.
    import gc
    import weakref

    class Own(Handler):
        def OnEnterRoom(self) -> None:
            self.reached.append("own")

    rig = make_cloud(Own())
    event = Delivery("sdk", lambda handler: rig, rig.handler)
    assert [event(), event()] == ["own", "own"]
    method, cls = weakref.ref(Own.__dict__["OnEnterRoom"]), weakref.ref(Own)
    rig.close()
    rig.handler = event.handler = None  # type: ignore[assignment]
    del Own
    gc.collect()
    assert method() is None and cls() is None

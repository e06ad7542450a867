"""TrelvoPipelineCallback: header and cookie parsing, and the reports it posts to a real server."""

import inspect
import json

import pydantic
import pytest
import requests

from trelvo_core.callbacks import TrelvoPipelineCallback
from trelvo_core.callbacks import ostrel
from trelvo_core.misc import TrelvoPipelineCallbackProcedure, TrelvoPipelineCallbackStatus
from trelvo_core.misc.models import TrelvoPipelineCallbackDataModel

V1 = pydantic.VERSION < "2"


def report(**fields):
    return TrelvoPipelineCallbackDataModel(
        procedure=TrelvoPipelineCallbackProcedure.HPO_TRIAL_EXECUTED,
        status=TrelvoPipelineCallbackStatus.SUCCESSFUL, msg="", **fields)


def test_an_ordinary_class_whose_call_is_post():
    assert type(TrelvoPipelineCallback) is type and TrelvoPipelineCallback.__bases__ == (object,)
    assert ostrel.TrelvoPipelineCallback is TrelvoPipelineCallback
    assert TrelvoPipelineCallback.__doc__ == (
        "Connector for communicating from Python kernel to API server.")
    assert TrelvoPipelineCallback.__call__ is TrelvoPipelineCallback.post
    assert str(inspect.signature(TrelvoPipelineCallback)) == (
        "(endpoint: 'str', header: 'Optional[str]' = None, cookie: 'Optional[str]' = None, "
        "timeout: 'int' = 30) -> 'None'")
    callback = TrelvoPipelineCallback("http://h/x")
    assert vars(callback) == {"_endpoint": "http://h/x", "_headers": {}, "_cookies": {},
                              "_timeout": 30}
    assert (callback.header, callback.cookie) == ("", "")


@pytest.mark.parametrize("header, cookie, headers, cookies", [
    ("Authorization=token abc; X-Team = red ;", None,
     {"Authorization": "token abc", "X-Team ": " red"}, {}),
    ("  ; ;", "", {}, {}),
    (None, "_xsrf=2|ab|cd; session=s1",
     {"Cookie": "_xsrf=2|ab|cd; session=s1", "X-XSRFToken": "2|ab|cd"},
     {"_xsrf": "2|ab|cd", "session": "s1"}),
    ("Cookie=old; a=1; a=2", "token=abc==",
     {"Cookie": "token='abc=='", "a": "2"}, {"token": "'abc=='"}),
])
def test_header_and_cookie_strings(header, cookie, headers, cookies):
    callback = TrelvoPipelineCallback("http://h", header, cookie)
    assert callback.headers == headers and list(callback.headers) == list(headers)
    assert callback.cookies == cookies and list(callback.cookies) == list(cookies)
    assert callback.header == "; ".join(f"{k}={v}" for k, v in headers.items())
    assert callback.cookie == "; ".join(f"{k}={v}" for k, v in cookies.items())
    callback.headers["extra"] = "x"
    callback.cookies.clear()
    assert callback.headers == headers and callback.cookies == cookies


@pytest.mark.parametrize("args, error, message", [
    ((b"http://h",), TypeError,
     "Argument 'endpoint' has incorrect type (expected str, got bytes)"),
    ((type("Url", (str,), {})("http://h"),), TypeError,
     "Argument 'endpoint' has incorrect type (expected str, got Url)"),
    (("http://h", 1), TypeError, "Argument 'header' has incorrect type (expected str, got int)"),
    (("http://h", None, ["a=1"]), TypeError,
     "Argument 'cookie' has incorrect type (expected str, got list)"),
    (("http://h", None, None, "30"), TypeError,
     "Argument 'timeout' has incorrect type (expected int, got str)"),
    (("http://h", "a=1; flag"), ValueError, "substring not found"),
    (("http://h", None, "flag"), ValueError, "substring not found"),
    (("http://h", " ;\t;"), ValueError, "substring not found"),  # only spaces are stripped
])
def test_bad_arguments(args, error, message):
    with pytest.raises(error) as raised:
        TrelvoPipelineCallback(*args)
    assert str(raised.value) == message


def test_timeout_and_base_url():
    assert TrelvoPipelineCallback("http://h", timeout=2.7)._timeout == 2
    assert TrelvoPipelineCallback("http://h", timeout=True)._timeout == 1
    callback = TrelvoPipelineCallback("https://user@api.example:8443/v1/hpo?run=3#frag")
    assert callback.base_url == "https://user@api.example:8443"
    assert callback.endpoint == "https://user@api.example:8443/v1/hpo?run=3#frag"


def test_post_sends_the_model_as_utf8_json_with_headers_and_cookies(http_server):
    http_server.status = 500  # an error status is not an error for the connector
    callback = TrelvoPipelineCallback(http_server.url + "/api/hpo?id=7", "X-Team=red",
                                      "_xsrf=t0k; s=ab==")
    callback.headers["X-Team"] = "changed"
    model = report(successful={"trials": 0, "parameters": {"lr": 0.5}, "values": ["é", 1.5]})
    assert callback.post(data=model) is None
    assert callback(model) is None

    first, second = http_server.requests
    assert first["method"] == "POST" and first["path"] == "/api/hpo?id=7"
    assert first["body"] == (model.json() if V1 else model.model_dump_json()).encode("utf-8")
    assert json.loads(first["body"]) == {
        "procedure": "HPO_TRIAL_EXECUTED", "status": "SUCCESSFUL", "msg": "",
        "successful": {"trials": 0, "parameters": {"lr": 0.5}, "values": ["é", 1.5]}}
    headers = first["headers"]
    assert headers["X-Team"] == "red" and headers["X-XSRFToken"] == "t0k"
    assert "Content-Type" not in headers
    # requests merges the cookie jar with the explicit Cookie header; both carry the pairs.
    assert first["cookies"]["_xsrf"] == "t0k" and first["cookies"]["s"] == "'ab=='"
    assert second["body"] == first["body"] and second["headers"] == headers


def test_post_swallows_connection_failures_but_not_timeouts(http_server):
    closed = TrelvoPipelineCallback(f"http://127.0.0.1:{_closed_port()}/x")
    assert closed.post(data=report()) is None
    assert TrelvoPipelineCallback("127.0.0.1/no-scheme").post(data=report()) is None

    class NotText(TrelvoPipelineCallbackDataModel):
        def json(self, *args, **kwargs):
            return b"{}"

        def model_dump_json(self, *args, **kwargs):
            return b"{}"

    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        TrelvoPipelineCallback(http_server.url).post(data=NotText())

    http_server.delay = 1.5
    with pytest.raises(requests.exceptions.ReadTimeout):
        TrelvoPipelineCallback(http_server.url, timeout=1).post(data=report())


def _closed_port():
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]

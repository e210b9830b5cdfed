-- Request lines for wrk, which has no proxy mode of its own. wrk connects to
-- the address on its command line (the proxy, or the origin for a direct
-- run); this script writes the request line that goes there:
--   BENCH_URL     the object, "http://127.0.0.1:PORT/path"
--   BENCH_FORM    "absolute" (GET http://host:port/path, for a proxy) or
--                 "origin" (GET /path, straight to the origin)
--   BENCH_UNIQUE  "1": every request gets a query string never used before
--   BENCH_CLOSE   "1": every request says "Connection: close"
-- At the end one line "BENCH-RESULT rps requests status_errors
-- socket_errors timeouts p50_us p99_us" is printed for bench/run.

local url = os.getenv("BENCH_URL") or error("BENCH_URL is not set")
local absolute = os.getenv("BENCH_FORM") == "absolute"
local unique = os.getenv("BENCH_UNIQUE") == "1"
local close = os.getenv("BENCH_CLOSE") == "1"

local hostport = url:match("^http://([^/]+)")
local path = url:match("^http://[^/]+(/.*)$") or "/"
local target = absolute and url or path

wrk.method = "GET"
wrk.path = target
wrk.headers["Host"] = hostport
wrk.headers["User-Agent"] = "vellostore-bench"
if close then
    wrk.headers["Connection"] = "close"
end

if unique then
    local next_thread = 0
    function setup(thread)
        thread:set("thread_no", next_thread)
        next_thread = next_thread + 1
    end

    local prefix
    local counter = 0
    function init(args)
        -- Unique across threads and across runs of the same bench.
        local sep = target:find("?", 1, true) and "&" or "?"
        prefix = string.format("%s%su=%d-%d-%d-", target, sep, os.time(), thread_no,
                               math.random(1, 1000000000))
    end

    function request()
        counter = counter + 1
        return wrk.format(nil, prefix .. counter)
    end
end

function done(summary, latency, requests)
    local e = summary.errors
    local seconds = summary.duration / 1e6
    io.write(string.format("BENCH-RESULT %.1f %d %d %d %d %.1f %.1f\n",
        summary.requests / seconds, summary.requests, e.status,
        e.connect + e.read + e.write, e.timeout,
        latency:percentile(50), latency:percentile(99)))
end

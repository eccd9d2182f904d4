-- wrk script of the REST benchmark: `wrk -s requests.lua URL -- MODE ROWS`.
-- MODE "read": GET of one record by a random id among the ROWS loaded;
-- "insert": POST of one record (its own commit); "static": GET of the URL.
-- done() prints one machine-readable line: requests/s, p50 and p99 in
-- microseconds, and the count of failed or non-2xx answers.
local mode, rows = "static", 1
local auth = "Basic QURNSU46VFJVVkU=" -- ADMIN:TRUVE
local counter = 0

function init(args)
  mode = args[1] or "static"
  rows = tonumber(args[2] or "1")
  math.randomseed(os.time())
end

function request()
  if mode == "read" then
    return wrk.format("GET", wrk.path .. math.random(1, rows), { ["Authorization"] = auth })
  elseif mode == "insert" then
    counter = counter + 1
    local body = '{"name":"device-' .. counter .. '","qty":' .. counter .. '}'
    return wrk.format("POST", wrk.path, { ["Authorization"] = auth, ["Content-Type"] = "application/json" }, body)
  end
  return wrk.format("GET", wrk.path)
end

function done(summary, latency, requests)
  local e = summary.errors
  local failed = e.connect + e.read + e.write + e.timeout + e.status
  io.write(string.format("RESULT %.0f %d %d %d\n", summary.requests / (summary.duration / 1e6),
    latency:percentile(50), latency:percentile(99), failed))
end

-- wrk script of the system benchmark: every request POSTs one of the signed multipart bodies
-- that bench.py wrote into $VENDREL_BENCH_BODIES (body.0 ... body.N-1, and content_type), each
-- connection's thread cycling through them from its own starting point. The CGI library saves
-- each file part as a fresh upload, so sending a body again is a new upload. Answers whose body
-- is not the expected token are counted, and done() prints one line that bench.py reads:
--   RESULT requests=R seconds=S bad=B errors=E p50_us=L first_bad=<text>

local dir = os.getenv("VENDREL_BENCH_BODIES")
local expected = os.getenv("VENDREL_BENCH_EXPECT") or "Vendrel_OK\r\r\n"

local function read_file(path)
   local f = assert(io.open(path, "rb"))
   local data = f:read("*a")
   f:close()
   return data
end

local threads = {}
local next_id = 0

function setup(thread)
   thread:set("id", next_id)
   next_id = next_id + 1
   table.insert(threads, thread)
end

function init(args)
   bodies = {}
   local count = tonumber(read_file(dir .. "/count"))
   for i = 0, count - 1 do
      bodies[#bodies + 1] = read_file(dir .. "/body." .. i)
   end
   content_type = read_file(dir .. "/content_type")
   position = (id * 7919) % #bodies
   bad = 0
   first_bad = ""
end

function request()
   position = position % #bodies + 1
   return wrk.format("POST", nil, {["Content-Type"] = content_type}, bodies[position])
end

function response(status, headers, body)
   if status ~= 200 or body == nil or body:sub(-#expected) ~= expected then
      bad = bad + 1
      if first_bad == "" then
         first_bad = tostring(status) .. " " .. string.sub(body or "", -40)
      end
   end
end

function done(summary, latency, requests)
   local bad_total = 0
   local first = ""
   for _, thread in ipairs(threads) do
      bad_total = bad_total + (thread:get("bad") or 0)
      if first == "" then
         first = thread:get("first_bad") or ""
      end
   end
   local errors = summary.errors.connect + summary.errors.read + summary.errors.write +
      summary.errors.status + summary.errors.timeout
   io.write(string.format("RESULT requests=%d seconds=%.6f bad=%d errors=%d p50_us=%d first_bad=%q\n",
                          summary.requests, summary.duration / 1e6, bad_total, errors,
                          latency:percentile(50), first))
end

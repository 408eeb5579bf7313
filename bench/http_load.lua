-- wrk: CreateCall over HTTP, every request a new call.
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '{"COMPONENT":"Desk","SOLDTOBP":"BP-1","BPNUMBER":"BP-1",' ..
  '"OBJECT":"PRN-1","PRIORITY":2,"Q_TEXT":"Printer jams on tray 2",' ..
  '"Q_ID":"Q-1","TIMESPENT":30}'
